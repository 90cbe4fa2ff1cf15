#include "lockfile.h"

#include "mirror/files_unix.h"

#include "processes.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

qint64 toMs(const timespec &time)
{
    return qint64(time.tv_sec) * 1000 + time.tv_nsec / 1000000;
}

void fillLock(LockFileInfo *lock, const struct stat &info)
{
    lock->kind = S_ISREG(info.st_mode) ? LockFileInfo::File : LockFileInfo::Other;
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

LockFileInfo SystemLockFiles::inspect(const QString &path)
{
    LockFileInfo lock;
    const QByteArray name = encoded(path);
    struct stat info;
    if (lstat(name.constData(), &info) != 0)
        return lock;
    fillLock(&lock, info);
    const int fd = lock.kind == LockFileInfo::File ? openLock(name, O_RDONLY) : -1;
    lock.readable = lock.kind != LockFileInfo::File || fd >= 0;
    if (!lock.readable)
        lock.error = FileError::last();
    if (fd >= 0) {
        lock.contents = readFirst(fd);
        close(fd);
    }
    return lock;
}

namespace {

// Opens the lock for writing, else for reading alone; -1 with errno.
int openEither(const QByteArray &name, bool *readOnly)
{
    *readOnly = false;
    int fd = openLock(name, O_RDWR);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
        fd = openLock(name, O_RDONLY);
        *readOnly = fd >= 0;
    }
    return fd;
}

// What a lock that cannot be opened is.
LockResult whyNot(const QByteArray &name, int why)
{
    if (why == ELOOP || why == EISDIR || why == ENXIO)
        return LockResult::NotFile;
    struct stat info;
    if ((why == EACCES || why == EPERM) && lstat(name.constData(), &info) == 0)
        return S_ISREG(info.st_mode) ? LockResult::Unreadable : LockResult::NotFile;
    return LockResult::Failed;
}

} // namespace

namespace {

// The file judged, opened, or one made where there was none: -1 with the
// result and its error where neither can be.
int openJudged(const QByteArray &name, const LockFileInfo &seen, bool *created, bool *readOnly, LockResult *result,
               FileError *error)
{
    *created = false;
    *readOnly = false;
    int fd = -1;
    if (seen.kind == LockFileInfo::Missing) {
        // O_CREAT never opens another user's file here: in a sticky
        // directory the system refuses that (protected_regular).
        fd = openLock(name, O_RDWR | O_CREAT | O_EXCL);
        *created = fd >= 0;
        if (fd >= 0)
            fchmod(fd, 0666); // every user's, whatever the umask
    } else {
        fd = openEither(name, readOnly);
    }
    if (fd < 0) {
        const int why = errno;
        *error = FileError::fromCode(why);
        *result = why == ENOENT || why == EEXIST ? LockResult::Changed : whyNot(name, why); // (made meanwhile)
    }
    return fd;
}

} // namespace

LockResult SystemLockFiles::take(const QString &path, const LockFileInfo &seen, qintptr *handle, bool *created,
                                 bool *readOnly, FileError *error)
{
    const QByteArray name = encoded(path);
    LockResult result = LockResult::Failed;
    const int fd = openJudged(name, seen, created, readOnly, &result, error);
    if (fd < 0)
        return result;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return LockResult::NotFile;
    }
    // Only the file judged: an older starter's new file may be between its
    // making and its own flock, which a probe here would make fail.
    if (!*created && (quint64(info.st_dev) != seen.device || quint64(info.st_ino) != seen.inode)) {
        close(fd);
        return LockResult::Changed;
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
    if (lstat(name.constData(), &named) != 0 || !sameEntry(named, info)) {
        close(fd);
        return LockResult::Changed;
    }
    *handle = fd;
    return LockResult::Taken;
}

LockResult SystemLockFiles::takeOwn(const QString &path, qintptr *handle, FileError *error)
{
    const QByteArray name = encoded(path);
    const int fd = openLock(name, O_RDWR | O_CREAT);
    if (fd < 0) {
        *error = FileError::last();
        return whyNot(name, errno);
    }
    struct stat info, named;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return LockResult::Held;
    }
    // A holder may have removed the file before letting go of it.
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || lstat(name.constData(), &named) != 0
        || !sameEntry(named, info)) {
        close(fd);
        return LockResult::Changed;
    }
    *handle = fd;
    return LockResult::Taken;
}

bool SystemLockFiles::isHeld(const QString &path)
{
    const int fd = openLock(encoded(path), O_RDONLY);
    if (fd < 0)
        return false;
    const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

LockFileInfo SystemLockFiles::read(qintptr handle)
{
    LockFileInfo lock;
    struct stat info;
    if (fstat(int(handle), &info) == 0)
        fillLock(&lock, info);
    lock.contents = readFirst(int(handle));
    return lock;
}

void SystemLockFiles::write(qintptr handle, const QByteArray &contents)
{
    if (writeAt0(int(handle), contents))
        futimens(int(handle), nullptr);
}

void SystemLockFiles::touch(qintptr handle)
{
    futimens(int(handle), nullptr);
}

void SystemLockFiles::release(qintptr handle, const QByteArray &contents)
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

FileError SystemLockFiles::remove(const QString &path, const LockFileInfo &seen)
{
    // A file is taken by its own lock while it goes (one that someone holds
    // stays), and never unless it can be opened: what it holds is unknown.
    // Anything else goes under the directory's lock, which the caller holds.
    const QByteArray name = encoded(path);
    int guard = -1;
    if (seen.kind == LockFileInfo::File) {
        guard = openLock(name, O_RDONLY);
        if (guard < 0 || flock(guard, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            if (guard >= 0)
                close(guard);
            return FileError::fromCode(error);
        }
    }
    struct stat info;
    int error = 0;
    if (lstat(name.constData(), &info) != 0)
        error = errno == ENOENT ? 0 : errno;
    else if (quint64(info.st_dev) == seen.device && quint64(info.st_ino) == seen.inode && unlink(name.constData()) != 0)
        error = errno; // (another entry there now is judged anew)
    if (guard >= 0)
        close(guard);
    return FileError::fromCode(error);
}

SystemLockFiles &SystemLockFiles::instance()
{
    static SystemLockFiles files;
    return files;
}

bool SystemLockFiles::holderRuns(qint64 pid, const QString &name)
{
    return processRuns(pid, name);
}
