#ifndef FILEOPS_H
#define FILEOPS_H

// The few file-system calls the mirror makes, one implementation per platform
// (fileops_unix.cpp, fileops_win.cpp). Errors come back as the system's own
// words; an empty string means success.

#include <QAtomicInteger>
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
    uint mode = 0;          // permission bits on Unix, the read-only attribute on Windows
    QString error;          // why the entry's details could not be read
};

struct Listing
{
    QVector<FileEntry> entries; // every entry but "." and "..", hidden ones too
    QString error;
};

namespace fileops {

// Whether names that differ only in case name the same file.
bool namesIgnoreCase();

Listing listDirectory(const QString &path);
// One file's details, as listDirectory gives them; error set when it has none.
FileEntry fileEntry(const QString &path);
QString makeDirectory(const QString &path);

// Copies source into a new file temporary (which must not exist) and gives
// it the master's time and permissions. On failure nothing is left behind.
// writeThrough: the data is on disk when it returns (otherwise syncFileSystems
// does that for many files at once; Windows always writes through, having no
// such call). device receives the file system's id; copiedBytes counts up.
QString copyToNew(const QString &source, const QString &temporary, const FileEntry &master,
                  bool writeThrough, quint64 *device, QAtomicInteger<qint64> *copiedBytes);

// Every file written so far to the file systems of these files is on disk,
// their directories' entries too.
void syncFileSystems(const QStringList &oneFilePerDevice);
QString syncDirectory(const QString &path);

// Puts temporary in place of destination in one step. Where a file in use
// cannot be replaced (Windows), the old file is first moved aside to aside.
QString replaceFile(const QString &temporary, const QString &destination, const QString &aside);
bool removeFile(const QString &path);

// The reason a copy gives when the disk is full.
QString diskFullError();
// The reason for the last failed call of the system's own (errno, GetLastError).
QString lastError();
bool stderrIsTerminal();

} // namespace fileops

#endif
