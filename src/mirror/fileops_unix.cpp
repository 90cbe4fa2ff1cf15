#include "mirror/fileops.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fileops {

namespace {

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

void fillEntry(FileEntry *file, const struct stat &info)
{
    file->isFile = S_ISREG(info.st_mode);
    file->isDir = S_ISDIR(info.st_mode);
    file->size = info.st_size;
    file->mtimeNs = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    file->mode = info.st_mode & 07777;
}

bool writeAll(int fd, const char *data, ssize_t size)
{
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

// In-kernel copy where the file systems allow it, else a read/write loop.
bool copyData(int in, int out, QAtomicInteger<qint64> *copiedBytes)
{
    bool kernelCopy = true;
    std::vector<char> buffer; // only where the kernel cannot copy: not in every thread's memory
    for (;;) {
        if (kernelCopy) {
            const ssize_t n = copy_file_range(in, nullptr, out, nullptr, 16 << 20, 0);
            if (n > 0) {
                copiedBytes->fetchAndAddRelaxed(n);
                continue;
            }
            if (n == 0)
                return true;
            if (errno == EINTR)
                continue;
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
                return false;
            kernelCopy = false;
        }
        buffer.resize(256 * 1024);
        const ssize_t n = read(in, buffer.data(), buffer.size());
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (!writeAll(out, buffer.data(), n))
            return false;
        copiedBytes->fetchAndAddRelaxed(n);
    }
}

} // namespace

bool namesIgnoreCase()
{
#ifdef Q_OS_DARWIN
    return true;
#else
    return false;
#endif
}

Listing listDirectory(const QString &path)
{
    Listing listing;
    DIR *dir = opendir(encoded(path).constData());
    if (!dir) {
        listing.error = lastError();
        return listing;
    }
    for (;;) {
        errno = 0;
        const dirent *entry = readdir(dir);
        if (!entry)
            break;
        const QByteArray raw(entry->d_name);
        if (raw == "." || raw == "..")
            continue;
        FileEntry file;
        file.name = QFile::decodeName(raw);
        file.badName = QFile::encodeName(file.name) != raw;
        file.hidden = raw.startsWith('.');
        struct stat info;
        if (fstatat(dirfd(dir), raw.constData(), &info, 0) != 0) {
            const int error = errno;
            // A link to nothing is no file to copy.
            if (fstatat(dirfd(dir), raw.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode))
                continue;
            file.error = qt_error_string(error);
        } else {
            fillEntry(&file, info);
        }
        listing.entries.append(file);
    }
    if (errno != 0)
        listing.error = lastError();
    closedir(dir);
    return listing;
}

FileEntry fileEntry(const QString &path)
{
    FileEntry file;
    file.name = path.section(QLatin1Char('/'), -1);
    struct stat info;
    if (stat(encoded(path).constData(), &info) == 0)
        fillEntry(&file, info);
    else
        file.error = lastError();
    return file;
}

QString makeDirectory(const QString &path)
{
    return mkdir(encoded(path).constData(), 0777) == 0 ? QString() : lastError();
}

QString copyToNew(const QString &source, const QString &temporary, const FileEntry &master,
                  bool writeThrough, quint64 *device, QAtomicInteger<qint64> *copiedBytes)
{
    const int in = open(encoded(source).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return lastError();
    const QByteArray out8 = encoded(temporary);
    const int out = open(out8.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        const QString error = lastError();
        close(in);
        return error;
    }
    int error = 0;
    const timespec times[2] = { { 0, UTIME_OMIT },
                                { time_t(master.mtimeNs / 1000000000), long(master.mtimeNs % 1000000000) } };
    struct stat info;
    if (!copyData(in, out, copiedBytes) || fchmod(out, master.mode) != 0 || futimens(out, times) != 0
        || (writeThrough && fdatasync(out) != 0) || fstat(out, &info) != 0)
        error = errno;
    if (close(out) != 0 && error == 0)
        error = errno;
    close(in);
    if (error != 0) {
        unlink(out8.constData());
        return qt_error_string(error); // the first failure, not a clean-up call's
    }
    *device = info.st_dev;
    return QString();
}

void syncFileSystems(const QStringList &oneFilePerDevice)
{
    for (const QString &path : oneFilePerDevice) {
        const int fd = open(encoded(path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            syncfs(fd);
            close(fd);
        }
    }
}

QString syncDirectory(const QString &path)
{
    const int fd = open(encoded(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return lastError();
    const int result = fsync(fd);
    const QString error = result == 0 ? QString() : lastError();
    close(fd);
    return error;
}

QString replaceFile(const QString &temporary, const QString &destination, const QString &)
{
    // rename() replaces in one step, even a program that is running.
    return rename(encoded(temporary).constData(), encoded(destination).constData()) == 0 ? QString()
                                                                                        : lastError();
}

bool removeFile(const QString &path)
{
    return unlink(encoded(path).constData()) == 0;
}

QString diskFullError()
{
    return qt_error_string(ENOSPC);
}

QString lastError()
{
    return qt_error_string(errno);
}

bool stderrIsTerminal()
{
    return isatty(STDERR_FILENO);
}

} // namespace fileops
