#include "mirror/fileops.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fileops {

namespace {

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

bool sameEntry(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

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
CopyFailure copyData(int in, int out, qint64 size, QAtomicInteger<qint64> *copiedBytes)
{
    bool kernelCopy = true;
    // Only where the kernel cannot copy, and no larger than the file: a
    // small file's buffer comes from the heap rather than a mapping of its own.
    QByteArray buffer;
    while (size > 0) {
        if (kernelCopy) {
            const ssize_t n = copy_file_range(in, nullptr, out, nullptr, size_t(std::min<qint64>(size, 16 << 20)), 0);
            if (n > 0) {
                copiedBytes->fetchAndAddRelaxed(n);
                size -= n;
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
    }
    return CopyFailure::None;
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

QPair<quint64, quint64> identity(const QString &path)
{
    struct stat info;
    if (stat(encoded(path).constData(), &info) != 0)
        return qMakePair(quint64(0), quint64(0));
    return qMakePair(quint64(info.st_dev), quint64(info.st_ino));
}

QString makeDirectory(const QString &path)
{
    return mkdir(encoded(path).constData(), 0777) == 0 ? QString() : lastError();
}

CopyOutcome copyToNew(const QString &source, const QString &temporary, const FileEntry &master,
                      QAtomicInteger<qint64> *copiedBytes)
{
    CopyOutcome outcome;
    // Not blocking: a pipe put where the file was must not stop the run (a
    // regular file is read alike either way).
    const int in = open(encoded(source).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info;
    if (in < 0 || fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
        outcome.error = in < 0 || S_ISREG(info.st_mode) ? lastError() : notRegularFileError();
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
        outcome.error = lastError();
        close(in);
        return outcome;
    }
    int error = 0;
    const timespec times[2] = { { 0, UTIME_OMIT }, toTimespec(master.mtimeNs) };
    const CopyFailure failure = copyData(in, out, master.size, copiedBytes);
    if (failure != CopyFailure::None) {
        error = errno;
        outcome.readingFailed = failure == CopyFailure::Reading;
    } else if ((futimens(out, times) != 0 && !notKept(errno)) || fstat(out, &info) != 0) {
        error = errno;
    } else if ((info.st_mode & 07777) != master.mode) {
        if ((fchmod(out, master.mode) != 0 && !notKept(errno)) || fstat(out, &info) != 0)
            error = errno;
    }
    close(in);
    if (error == 0)
        outcome.handle = out; // finishCopy syncs and closes it
    else
        close(out);
    if (error != 0) {
        unlink(out8.constData());
        outcome.error = qt_error_string(error); // the first failure, not a clean-up call's
        return outcome;
    }
    fillEntry(&outcome.kept, info);
    return outcome;
}

QString finishCopy(CopyOutcome *outcome, bool onDisk)
{
    const int fd = int(outcome->handle);
    if (fd < 0)
        return QString();
    outcome->handle = -1;
    QString error = onDisk || fdatasync(fd) == 0 ? QString() : lastError();
    if (close(fd) != 0 && error.isEmpty())
        error = lastError();
    return error;
}

QString syncDirectory(const QString &path)
{
    const int fd = open(encoded(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return lastError();
    const QString error = fsync(fd) == 0 ? QString() : lastError();
    close(fd);
    return error;
}

bool keepsPermissions(const QString &probe)
{
    const QByteArray path = encoded(probe);
    const int fd = open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return true; // nothing learnt: compare permissions as usual
    struct stat info;
    const bool kept = fchmod(fd, 0640) == 0 && fstat(fd, &info) == 0 && (info.st_mode & 07777) == 0640;
    close(fd);
    unlink(path.constData());
    return kept;
}

namespace {

FileResult result(bool done)
{
    FileResult outcome;
    if (!done)
        outcome.error = lastError();
    return outcome;
}

} // namespace

FileResult replaceFile(const QString &from, const QString &to)
{
    // rename() replaces in one step, even a program that is running.
    return result(rename(encoded(from).constData(), encoded(to).constData()) == 0);
}

FileResult moveAside(const QString &path, const QString &aside)
{
    return result(rename(encoded(path).constData(), encoded(aside).constData()) == 0);
}

FileResult keepOld(const QString &path, const QString &kept)
{
    return result(link(encoded(path).constData(), encoded(kept).constData()) == 0);
}

FileResult removeFile(const QString &path)
{
    return result(unlink(encoded(path).constData()) == 0);
}

bool openForAppending(QFile &file)
{
    // Never through a link (nothing is made where one leads), never waiting
    // for a pipe's reader, and only ever a regular file.
    const int fd = open(encoded(file.fileName()).constData(),
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

bool holdAppends(QFile &file)
{
    return flock(file.handle(), LOCK_EX | LOCK_NB) == 0;
}

void releaseAppends(QFile &file)
{
    flock(file.handle(), LOCK_UN);
}

bool renameOpenFile(const QString &path, const QString &to)
{
    return rename(encoded(path).constData(), encoded(to).constData()) == 0;
}

QString diskFullError()
{
    return qt_error_string(ENOSPC);
}

QString directoryInTheWayError()
{
    return qt_error_string(EISDIR);
}

QString notRegularFileError()
{
    return QStringLiteral("Not a regular file");
}

QString lastError()
{
    return qt_error_string(errno);
}

bool stderrIsTerminal()
{
    return isatty(STDERR_FILENO);
}

int consoleColumns()
{
    // A terminal's last column takes a character without wrapping.
    struct winsize size;
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

void writeError(const QString &text)
{
    fputs(encoded(text).constData(), stderr);
    fflush(stderr);
}

namespace {

qint64 toMs(const timespec &time)
{
    return qint64(time.tv_sec) * 1000 + time.tv_nsec / 1000000;
}

void fillLock(LockFile *lock, const struct stat &info)
{
    lock->kind = S_ISREG(info.st_mode) ? LockFile::File : LockFile::Other;
    lock->mtimeMs = toMs(info.st_mtim);
    lock->device = info.st_dev;
    lock->inode = info.st_ino;
}

// The file holds contents alone.
bool writeAt0(int fd, const QByteArray &contents)
{
    return pwrite(fd, contents.constData(), size_t(contents.size()), 0) == contents.size()
           && ftruncate(fd, contents.size()) == 0;
}

QByteArray readFirst(int fd)
{
    char buffer[4096];
    const ssize_t n = pread(fd, buffer, sizeof buffer, 0);
    return n > 0 ? QByteArray(buffer, int(n)) : QByteArray();
}

// The lock file as it is, never what a link leads to, never waiting for a
// pipe's writer; closed when the process starts another program.
int openLock(const QByteArray &path, int flags)
{
    return open(path.constData(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
}

} // namespace

LockFile inspectLock(const QString &path)
{
    LockFile lock;
    const QByteArray name = encoded(path);
    struct stat info;
    if (lstat(name.constData(), &info) != 0)
        return lock;
    fillLock(&lock, info);
    const int fd = lock.kind == LockFile::File ? openLock(name, O_RDONLY) : -1;
    if (fd >= 0) {
        lock.contents = readFirst(fd);
        close(fd);
    }
    return lock;
}

LockResult takeLock(const QString &path, qintptr *handle, bool *created, QString *error)
{
    const QByteArray name = encoded(path);
    for (;;) {
        *created = false;
        int fd = openLock(name, O_RDWR);
        if (fd < 0 && errno == ENOENT) {
            fd = openLock(name, O_RDWR | O_CREAT | O_EXCL);
            if (fd < 0 && errno == EEXIST)
                continue; // made by another starter meanwhile
            *created = fd >= 0;
        }
        if (fd < 0) {
            const int why = errno;
            *error = qt_error_string(why);
            if (why == ELOOP || why == EISDIR || why == ENXIO)
                return LockResult::NotFile;
            struct stat info;
            if ((why == EACCES || why == EPERM || why == EROFS) && lstat(name.constData(), &info) == 0)
                return S_ISREG(info.st_mode) ? LockResult::Unwritable : LockResult::NotFile;
            return LockResult::Failed;
        }
        struct stat info;
        if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            close(fd);
            return LockResult::NotFile;
        }
        // flock, not fcntl: its lock belongs to this descriptor alone, not to
        // whatever else of the process opens the file. The file this starter
        // made is its own: the others judge it only for a moment.
        if (flock(fd, *created ? LOCK_EX : LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            return LockResult::Held;
        }
        // An older starter removes its lock before it lets go of it, and may
        // have made a new one meanwhile: only the file at path counts.
        struct stat named;
        if (lstat(name.constData(), &named) == 0 && sameEntry(named, info)) {
            *handle = fd;
            return LockResult::Taken;
        }
        close(fd);
    }
}

bool lockIsHeld(const QString &path)
{
    const int fd = openLock(encoded(path), O_RDONLY);
    if (fd < 0)
        return false;
    const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

LockFile readLock(qintptr handle)
{
    LockFile lock;
    struct stat info;
    if (fstat(int(handle), &info) == 0)
        fillLock(&lock, info);
    lock.contents = readFirst(int(handle));
    return lock;
}

void writeLock(qintptr handle, const QByteArray &contents)
{
    if (writeAt0(int(handle), contents))
        futimens(int(handle), nullptr);
}

void touchLock(qintptr handle)
{
    futimens(int(handle), nullptr);
}

void releaseLock(qintptr handle, const QByteArray &contents)
{
    const int fd = int(handle);
    if (!contents.isEmpty() && writeAt0(fd, contents)) {
        timespec back[2] = { { 0, UTIME_OMIT }, { 0, 0 } };
        clock_gettime(CLOCK_REALTIME, &back[1]);
        back[1].tv_sec -= 3600;
        futimens(fd, back);
    }
    close(fd);
}

QString removeLock(const QString &path, const LockFile &seen)
{
    // Taken while it goes, so that no other starter's removal or lock comes
    // between seeing it and removing it: a file by its own lock (one that
    // someone holds stays), anything else by the directory's.
    const QByteArray name = encoded(path);
    int guard = -1;
    if (seen.kind == LockFile::File) {
        guard = openLock(name, O_RDONLY);
        if (guard >= 0 && flock(guard, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            close(guard);
            return qt_error_string(error);
        }
    } else {
        const QString directory = path.left(path.lastIndexOf(QLatin1Char('/')) + 1) + QLatin1Char('.');
        guard = open(encoded(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (guard >= 0)
            flock(guard, LOCK_EX); // where the file system has no such locks, without
    }
    struct stat info;
    int error = 0;
    if (lstat(name.constData(), &info) != 0)
        error = errno == ENOENT ? 0 : errno;
    else if (info.st_dev == seen.device && info.st_ino == seen.inode && unlink(name.constData()) != 0)
        error = errno; // (another entry there now is judged anew)
    if (guard >= 0)
        close(guard);
    return error == 0 ? QString() : qt_error_string(error);
}

namespace {

// The file name of the program process pid runs, as Qt's QLockFile tells
// it; "" where that cannot be read, errno saying why.
QString programOf(qint64 pid)
{
    char exe[64];
    snprintf(exe, sizeof exe, "/proc/%lld/exe", static_cast<long long>(pid));
    char target[4096];
    const ssize_t n = readlink(exe, target, sizeof target - 1);
    if (n <= 0)
        return QString();
    QByteArray program(target, int(n));
    if (program.endsWith(" (deleted)"))
        program.chop(10);
    return QFile::decodeName(program.mid(program.lastIndexOf('/') + 1));
}

} // namespace

QString lockProgramName()
{
    return programOf(getpid());
}

bool holderRuns(qint64 pid, const QString &name)
{
    if (pid <= 0 || (kill(pid_t(pid), 0) != 0 && errno == ESRCH))
        return false;
    const QString program = programOf(pid);
    if (program.isEmpty()) // another user's process is there, and that is all that can be told; one that ended is not
        return errno == EACCES || errno == EPERM;
    return program == name;
}

} // namespace fileops
