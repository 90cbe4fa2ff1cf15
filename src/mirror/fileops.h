#ifndef FILEOPS_H
#define FILEOPS_H

// The few file-system and console calls the mirror makes, one implementation
// per platform (fileops_unix.cpp, fileops_win.cpp). Errors come back as the
// system's own words; an empty string means success.

#include <QAtomicInteger>
#include <QFile>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

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
    QString error;          // why the entry's details could not be read
};

struct Listing
{
    QVector<FileEntry> entries; // every entry but "." and "..", hidden ones too
    QString error;
};

// How a call went: its error ("" for success), and whether it failed only
// because another program holds the file for now, which is worth trying
// again: a sharing or lock violation, or access denied to a file (Windows;
// Unix has no such locks).
struct FileResult
{
    QString error;
    bool busy = false;
};

// How a copy went, whether it was the master's file that could not be read,
// and what the target kept of the master's details.
struct CopyOutcome : FileResult
{
    bool readingFailed = false;
    FileEntry kept;
    qintptr handle = -1; // the copy, while finishCopy has work to do on it
};

namespace fileops {

// Whether names that differ only in case name the same file.
bool namesIgnoreCase();

Listing listDirectory(const QString &path);
// One file's details, as listDirectory gives them; error set when it has none.
FileEntry fileEntry(const QString &path);
QString makeDirectory(const QString &path);
// Which directory path is (device and inode, or volume and file index),
// following links; (0, 0) when it cannot be told.
QPair<quint64, quint64> identity(const QString &path);

// Copies source, which must be a regular file of master's size, into a new
// file temporary (which must not exist) and gives it the master's time and
// permissions, as far as the target's file system keeps them. On failure
// nothing is left behind. Where the platform leaves the data in memory, the
// copy comes back open (handle), for the update to put it on disk its own
// way; copiedBytes counts up.
CopyOutcome copyToNew(const QString &source, const QString &temporary, const FileEntry &master,
                      QAtomicInteger<qint64> *copiedBytes);
// Closes what copyToNew left open of a copy, after putting its data on disk
// unless onDisk says it is there already (a failure of the disk shows here).
// Once done, it is done.
QString finishCopy(CopyOutcome *outcome, bool onDisk = false);
// A directory's entries (renames into it, new subdirectories) are on disk.
QString syncDirectory(const QString &path);
// Whether the file system of directory keeps permissions as they are set
// (probe names a file that may be made there for a moment to find out).
bool keepsPermissions(const QString &probe);

// Puts from in place of to in one step, replacing what is there; fails
// where to cannot be replaced (in use, read-only on Windows, immutable).
FileResult replaceFile(const QString &from, const QString &to);
// Renames path to aside, which must not exist: the file is then missing
// under its name until something is put there.
FileResult moveAside(const QString &path, const QString &aside);
// Removes a file; on Windows also a read-only one, unless the name is one of
// several of the same file (clearing the attribute would clear the others').
FileResult removeFile(const QString &path);
// Gives the file at path a second name, kept (a hard link), so that it can
// be put back with replaceFile after path has been replaced. Fails where
// the file system or its policy gives this file none (the update then moves
// the old file aside instead); Windows gives a read-only file none, so that
// no name of an installed file ever has to lose the attribute to go.
FileResult keepOld(const QString &path, const QString &kept);
// Opens file (its name set) for writing text, each write landing whole at
// the end even while other processes append to it too; only where the name
// is a regular file, or nothing yet (never a link, a pipe, a device).
bool openForAppending(QFile &file);
// Whether path still names the file that file has open (not once that was
// renamed).
bool namesOpenFile(QFile &file, const QString &path);
// Keeps other processes' holdAppends on the same file away, until
// releaseAppends; false at once where another process has it.
bool holdAppends(QFile &file);
void releaseAppends(QFile &file);
// Renames a file that openForAppending opened (here or in another process)
// to to, replacing what is there.
bool renameOpenFile(const QString &path, const QString &to);

// The reason a copy gives when the disk is full, when the master's file is
// no regular file (a pipe, a device), and when a directory stands where the
// copy should go.
QString diskFullError();
QString notRegularFileError();
QString directoryInTheWayError();
// The reason for the last failed call of the system's own (errno, GetLastError).
QString lastError();

bool stderrIsTerminal();
// How many characters a line on standard error's console can take without
// wrapping; 0 when it does not say.
int consoleColumns();
// Writes text to standard error as the console shows it: UTF-16 to a
// Windows console, else in the encoding of file names.
void writeError(const QString &text);

// The update lock: an operating-system lock on a regular file that stays
// where it is, released by the system when its holder ends.
struct LockFile
{
    enum Kind { Missing, File, Other }; // Other: a link, a directory, a pipe, ...
    Kind kind = Missing;
    qint64 mtimeMs = 0;     // when it was last written (a link's own time), by the clock of its writer
    QByteArray contents;    // a File's first few kB, where it may be read
    quint64 device = 0;     // with inode, which entry it is (as identity() tells it)
    quint64 inode = 0;
};
// What is at path, never following a link.
LockFile inspectLock(const QString &path);
enum class LockResult {
    Taken,      // held here: handle locks the regular file path names now
    Held,       // another process holds it (on Windows also: keeps it open without
                // sharing writing, as older starters held their locks)
    Unwritable, // a regular file this user may not open for writing
    NotFile,    // a link, a directory, a pipe, ... (removeLock takes it away)
    Failed      // cannot be made here (error says why)
};
// Takes the lock on path, making the file where there is none (created
// says so).
LockResult takeLock(const QString &path, qintptr *handle, bool *created, QString *error);
// Whether any process holds the lock on the file at path now, without
// taking it.
bool lockIsHeld(const QString &path);
// The taken lock's contents and its last write.
LockFile readLock(qintptr handle);
// Replaces the taken lock's contents, and sets its time to now.
void writeLock(qintptr handle, const QByteArray &contents);
// Sets the taken lock's time to now.
void touchLock(qintptr handle);
// Lets go of a taken lock; where contents are given, they are left in it,
// and its time is set back by an hour.
void releaseLock(qintptr handle, const QByteArray &contents);
// Removes what is at path (a link itself), only while it is still the
// entry seen: nothing that another starter has put there meanwhile.
QString removeLock(const QString &path, const LockFile &seen);
// The program's name in the holder lines older starters (Qt's QLockFile)
// write and read: process id, program name, machine.
QString lockProgramName();
// Whether this machine runs process pid under the program name given
// (the program's file name may have been replaced).
bool holderRuns(qint64 pid, const QString &name);

} // namespace fileops

#endif
