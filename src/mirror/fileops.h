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
// Keeps other processes' holdAppends on the same file waiting, until
// releaseAppends; false where that could not be had within appendHoldMs.
const int appendHoldMs = 2000;
bool holdAppends(QFile &file);
void releaseAppends(QFile &file);
// Up to bytes of a file opened by openForAppending, from offset ("" where
// it cannot be read).
QByteArray readAt(QFile &file, qint64 offset, qint64 bytes);
// Makes a file opened by openForAppending hold contents alone, in place.
bool overwrite(QFile &file, const QByteArray &contents);

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

} // namespace fileops

#endif
