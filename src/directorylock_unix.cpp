#include "lockfile.h"

#include "mirror/files_unix.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// The target directory's lock on Linux: flock on the directory itself,
// which any user who may enter it may take.

LockResult SystemLockFiles::takeDirectory(const QString &directory, qintptr *handle, FileError *error)
{
    // Any user may open a directory it can enter for reading, and flock
    // works on any open mode.
    const int fd = open(encoded(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *error = FileError::last(false);
        return LockResult::Failed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        close(fd);
        *error = FileError::fromCode(why, false);
        return why == EWOULDBLOCK ? LockResult::Held : LockResult::Failed;
    }
    *handle = fd;
    return LockResult::Taken;
}

void SystemLockFiles::releaseDirectory(qintptr handle)
{
    close(int(handle));
}

bool SystemLockFiles::directoryIsHeld(const QString &directory)
{
    const int fd = open(encoded(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}
