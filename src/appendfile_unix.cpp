#include "appendfile.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace appendfile {

namespace {

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

bool sameEntry(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

bool open(QFile &file)
{
    // Never through a link (nothing is made where one leads), never waiting
    // for a pipe's reader, and only ever a regular file.
    const int fd = ::open(encoded(file.fileName()).constData(),
                        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)
        || !file.open(fd, QIODevice::Append | QIODevice::Unbuffered | QIODevice::Text,
                      QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    return true;
}

bool namesOpenFile(QFile &file, const QString &path)
{
    struct stat open, named;
    return fstat(file.handle(), &open) == 0 && lstat(encoded(path).constData(), &named) == 0
           && sameEntry(open, named);
}

bool hold(QFile &file)
{
    return flock(file.handle(), LOCK_EX | LOCK_NB) == 0;
}

void release(QFile &file)
{
    flock(file.handle(), LOCK_UN);
}

bool rename(const QString &path, const QString &to)
{
    return ::rename(encoded(path).constData(), encoded(to).constData()) == 0;
}

} // namespace appendfile
