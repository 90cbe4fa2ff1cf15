#ifndef FILES_UNIX_H
#define FILES_UNIX_H

// What the Unix implementations of the disk, the locks and the log's
// appends share.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <sys/stat.h>

// A path as the system's calls take it: in the encoding of file names.
inline QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

// Whether two entries are one file.
inline bool sameEntry(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

#endif
