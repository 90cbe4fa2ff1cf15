#ifndef DISK_H
#define DISK_H

// Every call by which an update reads the master and the target and changes
// the target: the update makes them through a Disk. SystemDisk is the
// system's own (disk_unix.cpp, disk_win.cpp; its copies in copy_unix.cpp,
// copy_win.cpp); a test derives one of its own that fails any call it
// names. A call means the same on both platforms unless it says otherwise.

#include "mirror/fileerror.h"

#include <QAtomicInteger>
#include <QByteArray>
#include <QPair>
#include <QString>
#include <QVector>

#include <functional>

#include <functional>

struct FileEntry
{
    QString name;
    bool isFile = false;    // a regular file, or a link to one
    bool isDir = false;     // a directory, or a link to one
    bool hidden = false;    // a dot-name on Unix, the hidden attribute on Windows
    bool badName = false;   // not valid in the file-name encoding; name is only approximate
    qint64 size = 0;
    qint64 mtimeNs = 0;     // modification time, nanoseconds since 1970
    qint64 changedNs = 0;   // when the entry itself last changed: its change time (on
                            // Windows no earlier than its creation or last write)
    uint mode = 0;          // permission bits on Unix, the read-only attribute on Windows
    quint64 device = 0;     // the file system it lives on (0 where the listing does not say)
    quint64 inode = 0;      // with device, which file or directory it is (0: not known)
    FileError error;        // why the entry's details could not be read
};

struct Listing
{
    QVector<FileEntry> entries; // every entry but "." and "..", hidden ones too
    FileError error;
};

// Which file or directory: device and inode, or volume and file index;
// (0, 0) where it cannot be told.
using Identity = QPair<quint64, quint64>;

// How a copy went, whether it was the master's file that could not be read,
// and what the target kept of the master's details.
struct CopyOutcome
{
    FileError error;
    bool readingFailed = false;
    FileEntry kept;
    qintptr handle = -1; // the copy, open until finishCopy
};

// Called between the pieces of a copy that is paced (a prefetch's): it may
// wait, and a copy it answers false to is given up, nothing left behind.
using CopyPace = std::function<bool()>;

// Whether names that differ only in case name the same file.
bool namesIgnoreCase();

class Disk
{
public:
    virtual ~Disk() = default;

    // Reading.
    virtual Listing listDirectory(const QString &path) = 0;
    // One file's details, as listDirectory gives them, following a link.
    virtual FileEntry fileEntry(const QString &path) = 0;
    // Following links.
    virtual Identity identity(const QString &path) = 0;
    // Whether path is a symbolic link (on Windows any reparse point): what
    // removes a tree never goes where one leads.
    virtual bool isLink(const QString &path) = 0;
    // Whether the file system of directory keeps permissions as they are set
    // (probe names a file that may be made there for a moment to find out).
    virtual bool keepsPermissions(const QString &probe) = 0;

    // Copies source, which must be a regular file of master's size, into a
    // new file temporary (which must not exist), with the master's time and
    // permissions as far as the target's file system keeps them; copiedBytes
    // counts up. On failure nothing is left behind. The copy comes back
    // open: finishCopy puts it on disk and closes it. With pace, it is read
    // in small pieces, pace asked after each.
    virtual CopyOutcome copyToNew(const QString &source, const QString &temporary, const FileEntry &master,
                                  QAtomicInteger<qint64> *copiedBytes, const CopyPace &pace = CopyPace()) = 0;
    // Puts what copyToNew left open on disk, unless onDisk says it is there
    // already, and closes it (a failure of the disk shows here). Windows
    // gives a read-only copy its attribute only now: a flush needs the file
    // writable. Once done, it is done.
    virtual FileError finishCopy(CopyOutcome *outcome, bool onDisk = false) = 0;
    // A copy closed before it was on disk, put there by its name.
    virtual FileError syncFile(const QString &path) = 0;
    virtual FileError makeDirectory(const QString &path) = 0;
    // A directory of the starter's own: hidden (on Windows by its attribute
    // too); one that is there already is no failure.
    virtual FileError makeOwnDirectory(const QString &path) = 0;
    // Removes an empty directory.
    virtual FileError removeDirectory(const QString &path) = 0;
    // Whether, on the whole machine, at most a few megabytes besides
    // ownBytes wait to be written, so that syncing a whole file system waits
    // for nobody else's data. False where the system cannot tell or cannot
    // sync a file system (Windows).
    virtual bool littleElseUnsaved(qint64 ownBytes) = 0;
    // Syncs the whole file system that fileSystem (an open directory) is on,
    // and reports its write errors since fileSystem was opened (Linux).
    virtual FileError syncFileSystem(qintptr fileSystem) = 0;
    // A directory's entries (renames into it, new subdirectories) are on
    // disk. Windows offers no such call without administrator rights: there
    // each rename is written through instead, and this does nothing.
    virtual FileError syncDirectory(const QString &path) = 0;

    // Puts from in place of to in one step, replacing what is there; fails
    // where to cannot be replaced (in use or read-only on Windows; immutable).
    virtual FileError replaceFile(const QString &from, const QString &to) = 0;
    // Renames path to aside, which must not exist: the file is then missing
    // under its name until something is put there.
    virtual FileError moveAside(const QString &path, const QString &aside) = 0;
    // Removes a file. On Windows also a read-only one, unless the name is
    // one of several of the same file (clearing the attribute would clear
    // the others').
    virtual FileError removeFile(const QString &path) = 0;
    // Gives the file at path a second name, kept (a hard link), so that it
    // can be put back with replaceFile after path has been replaced. Fails
    // where the file system or its policy gives this file none (the update
    // then moves the old file aside instead); Windows gives a read-only file
    // none, so that no name of an installed file ever has to lose the
    // attribute to go.
    virtual FileError keepOld(const QString &path, const QString &kept) = 0;

    // A small file of the starter's own, written whole in place of any of
    // that name, hidden (on Windows by its attribute too) and on disk, but
    // for its directory's entry, when this returns.
    // Its contents come from next, a piece at a time, until it gives none:
    // a long one is never held whole.
    virtual FileError writeOwnFile(const QString &path, const std::function<QByteArray()> &next) = 0;
    virtual FileError readOwnFile(const QString &path, QByteArray *contents) = 0;

    // Whether a call on the file at path failed with error because this
    // user may not change it (another user's file in a shared target, or one
    // protected), rather than because a program holds it: Windows answers
    // both alike, and is asked once more, for deleting alone.
    virtual bool refusesThisUser(const QString &path, const FileError &error) = 0;
    // Whether the file at path belongs to this user or to the system's
    // administrators (root; SYSTEM or Administrators): what another user
    // made in a shared target is never installed from there.
    virtual bool ownedByThisUserOrAdministrators(const QString &path) = 0;
};

class SystemDisk : public Disk
{
public:
    static SystemDisk &instance();

    Listing listDirectory(const QString &path) override;
    FileEntry fileEntry(const QString &path) override;
    Identity identity(const QString &path) override;
    bool isLink(const QString &path) override;
    bool keepsPermissions(const QString &probe) override;
    CopyOutcome copyToNew(const QString &source, const QString &temporary, const FileEntry &master,
                          QAtomicInteger<qint64> *copiedBytes, const CopyPace &pace = CopyPace()) override;
    FileError finishCopy(CopyOutcome *outcome, bool onDisk = false) override;
    FileError syncFile(const QString &path) override;
    FileError makeDirectory(const QString &path) override;
    FileError makeOwnDirectory(const QString &path) override;
    FileError removeDirectory(const QString &path) override;
    bool littleElseUnsaved(qint64 ownBytes) override;
    FileError syncFileSystem(qintptr fileSystem) override;
    FileError syncDirectory(const QString &path) override;
    FileError replaceFile(const QString &from, const QString &to) override;
    FileError moveAside(const QString &path, const QString &aside) override;
    FileError removeFile(const QString &path) override;
    FileError keepOld(const QString &path, const QString &kept) override;
    FileError writeOwnFile(const QString &path, const std::function<QByteArray()> &next) override;
    FileError readOwnFile(const QString &path, QByteArray *contents) override;
    bool refusesThisUser(const QString &path, const FileError &error) override;
    bool ownedByThisUserOrAdministrators(const QString &path) override;
};

#endif
