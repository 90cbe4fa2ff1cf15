#include "appendfile.h"

#include "mirror/files_unix.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace appendfile {

bool open(QFile &file)
{
    // Never through a link (nothing is made where one leads), never waiting
    // for a pipe's reader, and only ever a regular file; open for reading
    // too where it may be, to tell whether it ends a line.
    const QByteArray name = encoded(file.fileName());
    const int flags = O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < 2; ++tries) {
        fd = ::open(name.constData(), O_RDWR | flags);
        if (fd < 0 && (errno == EACCES || errno == EPERM))
            fd = ::open(name.constData(), O_WRONLY | flags);
        if (fd < 0 && errno == ENOENT) {
            fd = ::open(name.constData(), O_RDWR | O_CREAT | O_EXCL | flags, 0666);
            if (fd >= 0)
                fchmod(fd, 0666); // the log of every user of the installation, whatever the umask
        }
        if (fd < 0 && errno != EEXIST) // else made by another starter meanwhile
            break;
    }
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

bool endsLine(QFile &file)
{
    struct stat info;
    char last = '\n';
    if (fstat(file.handle(), &info) == 0 && info.st_size > 0)
        pread(file.handle(), &last, 1, info.st_size - 1); // where it may not be read, as if whole
    return last == '\n';
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

FileError rename(const QString &path, const QString &to)
{
    return ::rename(encoded(path).constData(), encoded(to).constData()) == 0 ? FileError() : FileError::last();
}

bool cut(QFile &file)
{
    return ftruncate(file.handle(), 0) == 0;
}

} // namespace appendfile
