#ifndef LOCKFILE_H
#define LOCKFILE_H

// The calls the update lock makes: on its file, and on the lock of the
// target directory that every starter takes first. The system's own, a
// pair of files each: lockfile_unix.cpp and lockfile_win.cpp (flock on the
// file; LockFileEx on a byte far past its end), directorylock_unix.cpp and
// directorylock_win.cpp (flock on the directory; a named mutex in the
// global namespace, which guards one machine only). A test's own makes a
// lock look as a row says.

#include "mirror/fileerror.h"

#include <QByteArray>
#include <QString>

// What is at the lock's path, never following a link.
struct LockFileInfo
{
    enum Kind { Missing, File, Other }; // Other: a link, a directory, a pipe, ...
    Kind kind = Missing;
    qint64 mtimeMs = 0;     // when it was last written (a link's own time), by the clock of its writer
    QByteArray contents;    // a File's first few kB, where it may be read
    bool readable = true;   // a File this user may open: else what it holds is unknown ...
    FileError error;        // ... and why
    quint64 device = 0;     // with inode, which entry it is
    quint64 inode = 0;
};

enum class LockResult {
    Taken,      // held here: the handle locks the regular file the path names now
    Held,       // another process holds it (on Windows also: keeps it open without
                // sharing writing, as older starters held their locks)
    Unreadable, // a regular file this user may not open at all
    Changed,    // no longer the file inspected: look again
    NotFile,    // a link, a directory, a pipe, ... (remove takes it away)
    Failed      // cannot be made or locked here (the error says why)
};

class LockFiles
{
public:
    virtual ~LockFiles() = default;

    virtual LockFileInfo inspect(const QString &path) = 0;
    // Takes the directory's lock, which every starter takes before the
    // file's (Failed where the file system has no such lock).
    virtual LockResult takeDirectory(const QString &directory, qintptr *handle, FileError *error) = 0;
    virtual void releaseDirectory(qintptr handle) = 0;
    virtual bool directoryIsHeld(const QString &directory) = 0;
    // Takes the lock on the file at path, which must still be the one seen
    // (else Changed), making one where there is none (created says so):
    // readable and writable by every user, whatever the umask. A file that
    // may not be written is locked open for reading (readOnly says so). A
    // file this starter made is waited on, else none is.
    virtual LockResult take(const QString &path, const LockFileInfo &seen, qintptr *handle, bool *created,
                            bool *readOnly, FileError *error) = 0;
    // Takes the lock on a file of the starter's own that nobody judges (a
    // prefetch's), making it where missing, never waiting: Held where
    // another process holds it; only the file at path counts.
    virtual LockResult takeOwn(const QString &path, qintptr *handle, FileError *error) = 0;
    // Whether any process holds the lock on the file at path now, without
    // taking it.
    virtual bool isHeld(const QString &path) = 0;
    // The taken lock's contents and its last write.
    virtual LockFileInfo read(qintptr handle) = 0;
    // Replaces the taken lock's contents, and sets its time to now.
    virtual void write(qintptr handle, const QByteArray &contents) = 0;
    // Sets the taken lock's time to now.
    virtual void touch(qintptr handle) = 0;
    // Lets go of a taken lock; where contents are given, they are left in
    // it, and its time is set back by an hour.
    virtual void release(qintptr handle, const QByteArray &contents) = 0;
    // Removes what is at path (a link itself), only while it is still the
    // entry seen: nothing that another starter has put there meanwhile.
    virtual FileError remove(const QString &path, const LockFileInfo &seen) = 0;
    // Whether this machine runs process pid under the program name given
    // (the program's file name may have been replaced).
    virtual bool holderRuns(qint64 pid, const QString &name) = 0;
};

class SystemLockFiles : public LockFiles
{
public:
    static SystemLockFiles &instance();

    LockFileInfo inspect(const QString &path) override;
    LockResult takeDirectory(const QString &directory, qintptr *handle, FileError *error) override;
    void releaseDirectory(qintptr handle) override;
    bool directoryIsHeld(const QString &directory) override;
    LockResult take(const QString &path, const LockFileInfo &seen, qintptr *handle, bool *created, bool *readOnly,
                    FileError *error) override;
    LockResult takeOwn(const QString &path, qintptr *handle, FileError *error) override;
    bool isHeld(const QString &path) override;
    LockFileInfo read(qintptr handle) override;
    void write(qintptr handle, const QByteArray &contents) override;
    void touch(qintptr handle) override;
    void release(qintptr handle, const QByteArray &contents) override;
    FileError remove(const QString &path, const LockFileInfo &seen) override;
    bool holderRuns(qint64 pid, const QString &name) override;
};

#endif
