#include "mirror/disk.h"

#include "mirror/files_unix.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Linux: copy_file_range where the file systems allow it.

void fillEntry(FileEntry *file, const struct stat &info)
{
    file->isFile = S_ISREG(info.st_mode);
    file->isDir = S_ISDIR(info.st_mode);
    file->size = info.st_size;
    file->mtimeNs = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    file->changedNs = qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    file->mode = info.st_mode & 07777;
    file->device = info.st_dev;
    file->inode = info.st_ino;
}

namespace {

// Floor division, so that a time before 1970 keeps a fraction in [0, 1 s).
timespec toTimespec(qint64 ns)
{
    qint64 seconds = ns / 1000000000;
    if (ns % 1000000000 < 0)
        --seconds;
    return timespec{ time_t(seconds), long(ns - seconds * 1000000000) };
}

// What a file system without (some) permissions or times answers; such a
// target keeps what it can, and that is no failure.
bool notKept(int error)
{
    return error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP || error == EPERM;
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

enum class CopyFailure { None, Reading, Writing };

// In-kernel copy where the file systems allow it, else a read/write loop,
// which also tells which side failed when the kernel's copy did. Copies
// size bytes, the size the master's file was listed with: no call is spent
// on finding the end (a file that has changed since is copied again by the
// verifying pass).
CopyFailure copyData(int in, int out, qint64 size, QAtomicInteger<qint64> *copiedBytes, const CopyPace &pace)
{
    bool kernelCopy = true;
    // A paced copy goes in pieces small enough to be paced.
    const qint64 piece = pace ? 256 << 10 : 16 << 20;
    // Only where the kernel cannot copy, and no larger than the file: a
    // small file's buffer comes from the heap rather than a mapping of its own.
    QByteArray buffer;
    while (size > 0) {
        if (kernelCopy) {
            const ssize_t n = copy_file_range(in, nullptr, out, nullptr, size_t(std::min<qint64>(size, piece)), 0);
            if (n > 0) {
                copiedBytes->fetchAndAddRelaxed(n);
                size -= n;
                if (pace && !pace()) {
                    errno = ECANCELED;
                    return CopyFailure::Writing;
                }
                continue;
            }
            if (n == 0)
                return CopyFailure::None;
            if (errno == EINTR)
                continue;
            kernelCopy = false; // nothing was copied by the failed call: go on from here
        }
        if (buffer.isEmpty())
            buffer = QByteArray(int(std::min<qint64>(size, 256 << 10)), Qt::Uninitialized);
        const ssize_t n = read(in, buffer.data(), size_t(std::min<qint64>(size, qint64(buffer.size()))));
        if (n == 0)
            return CopyFailure::None;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return CopyFailure::Reading;
        }
        if (!writeAll(out, buffer.data(), n))
            return CopyFailure::Writing;
        copiedBytes->fetchAndAddRelaxed(n);
        size -= n;
        if (pace && !pace()) {
            errno = ECANCELED;
            return CopyFailure::Writing;
        }
    }
    return CopyFailure::None;
}

// The master's time and permissions on the copy, as far as it keeps them;
// errno on failure.
int giveDetails(int out, const FileEntry &master, struct stat *info)
{
    const timespec times[2] = { { 0, UTIME_OMIT }, toTimespec(master.mtimeNs) };
    if ((futimens(out, times) != 0 && !notKept(errno)) || fstat(out, info) != 0)
        return errno;
    if ((info->st_mode & 07777) != master.mode
        && ((fchmod(out, master.mode) != 0 && !notKept(errno)) || fstat(out, info) != 0))
        return errno;
    return 0;
}

} // namespace

CopyOutcome SystemDisk::copyToNew(const QString &source, const QString &temporary, const FileEntry &master,
                                  QAtomicInteger<qint64> *copiedBytes, const CopyPace &pace)
{
    CopyOutcome outcome;
    // Not blocking: a pipe put where the file was must not stop the run (a
    // regular file is read alike either way).
    const int in = open(encoded(source).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info;
    if (in < 0 || fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
        outcome.error = in < 0 || S_ISREG(info.st_mode) ? FileError::last() : FileError::notRegularFile();
        outcome.readingFailed = true;
        if (in >= 0)
            close(in);
        return outcome;
    }
    const QByteArray out8 = encoded(temporary);
    // Made with the master's permissions where the process's umask lets it,
    // which spares most copies a separate change of permissions.
    const int out = open(out8.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, master.mode & 0777);
    if (out < 0) {
        outcome.error = FileError::last();
        close(in);
        return outcome;
    }
    int error = 0;
    const CopyFailure failure = copyData(in, out, master.size, copiedBytes, pace);
    if (failure != CopyFailure::None) {
        error = errno;
        outcome.readingFailed = failure == CopyFailure::Reading;
    } else {
        error = giveDetails(out, master, &info);
    }
    close(in);
    if (error != 0) {
        close(out);
        unlink(out8.constData());
        outcome.error = FileError::fromCode(error); // the first failure, not a clean-up call's
        return outcome;
    }
    outcome.handle = out;
    fillEntry(&outcome.kept, info);
    return outcome;
}

FileError SystemDisk::finishCopy(CopyOutcome *outcome, bool onDisk)
{
    const int fd = int(outcome->handle);
    if (fd < 0)
        return FileError();
    outcome->handle = -1;
    FileError error = onDisk || fdatasync(fd) == 0 ? FileError() : FileError::last();
    if (close(fd) != 0 && !error.failed())
        error = FileError::last();
    return error;
}

FileError SystemDisk::syncFile(const QString &path)
{
    CopyOutcome reopened;
    reopened.handle = open(encoded(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    return reopened.handle < 0 ? FileError::last() : finishCopy(&reopened);
}
