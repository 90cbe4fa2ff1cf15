#ifndef LOCKFILE_H
#define LOCKFILE_H

// The calls the update lock makes on its file: the system's own in
// lockfile_unix.cpp (flock) and lockfile_win.cpp (LockFileEx on a byte far
// past the end), and a test's own that makes a lock file look as a row says.

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
    quint64 device = 0;     // with inode, which entry it is
    quint64 inode = 0;
};

enum class LockResult {
    Taken,      // held here: the handle locks the regular file the path names now
    Held,       // another process holds it (on Windows also: keeps it open without
                // sharing writing, as older starters held their locks)
    Unwritable, // a regular file this user may not open for writing
    NotFile,    // a link, a directory, a pipe, ... (remove takes it away)
    Failed      // cannot be made here (the error says why)
};

class LockFiles
{
public:
    virtual ~LockFiles() = default;

    virtual LockFileInfo inspect(const QString &path) = 0;
    // Takes the lock on path, making the file where there is none (created
    // says so). A file this starter made is waited on, else none is.
    virtual LockResult take(const QString &path, qintptr *handle, bool *created, FileError *error) = 0;
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
    LockResult take(const QString &path, qintptr *handle, bool *created, FileError *error) override;
    bool isHeld(const QString &path) override;
    LockFileInfo read(qintptr handle) override;
    void write(qintptr handle, const QByteArray &contents) override;
    void touch(qintptr handle) override;
    void release(qintptr handle, const QByteArray &contents) override;
    FileError remove(const QString &path, const LockFileInfo &seen) override;
    bool holderRuns(qint64 pid, const QString &name) override;
};

#endif
