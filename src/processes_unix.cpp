#include "processes.h"

#include <QFile>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

void prepareProcess()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", O_RDWR); // takes the lowest free descriptor: this one
    }
    signal(SIGPIPE, SIG_IGN);
    // One heap for every thread: glibc gives threads heaps of their own,
    // which keep what they once held, and the listing threads' cost a large
    // update megabytes; the threads allocate little, and seldom at once.
    mallopt(M_ARENA_MAX, 1);
    // As the core application object will: arguments are decoded before it exists.
    setlocale(LC_ALL, "");
}

std::vector<QByteArray> systemArguments(int argc, char *argv[])
{
    return std::vector<QByteArray>(argv, argv + argc);
}

QString decodeArgument(const char *argument)
{
    // Paths as file names are written: UTF-8 in a UTF-8 locale.
    return QFile::decodeName(QByteArray(argument));
}

QString startDetached(const QString &program, const QStringList &arguments)
{
    // posix_spawn reports why exec failed, and a new session keeps the
    // application running when the starter's console goes away.
    const QByteArray path = QFile::encodeName(program);
    QList<QByteArray> encoded;
    for (const QString &argument : arguments)
        encoded << argument.toLocal8Bit();
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(path.constData()));
    for (QByteArray &argument : encoded)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The application gets SIGPIPE back as usual; the starter only ignores it for itself.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF);
    pid_t pid;
    const int error = posix_spawn(&pid, path.constData(), nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    return error == 0 ? QString() : QString::fromLocal8Bit(strerror(error));
}

namespace {

int openLock(const QString &path)
{
    return open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

} // namespace

LockFileState inspectLock(const QString &path)
{
    LockFileState state;
    struct stat info;
    if (lstat(QFile::encodeName(path).constData(), &info) != 0)
        return state;
    state.kind = S_ISREG(info.st_mode) ? LockFileState::File : LockFileState::Other;
    state.mtimeMs = qint64(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
    const int fd = state.kind == LockFileState::File ? openLock(path) : -1;
    if (fd >= 0) {
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0)
            state.contents = QByteArray(buffer, int(n));
        close(fd);
    }
    return state;
}

bool lockHolderRuns(const QString &path, qint64 pid, qint64)
{
    // The holder keeps an exclusive flock on its lock for as long as it runs
    // (QLockFile's own), whatever its name or image now.
    const int fd = openLock(path);
    if (fd < 0) // not ours to read: the process is all there is to go by
        return pid > 0 && (kill(pid_t(pid), 0) == 0 || errno != ESRCH);
    const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

QString removeLock(const QString &path, bool *held)
{
    *held = false;
    const QByteArray name = QFile::encodeName(path);
    const int fd = openLock(path);
    // Taken while it goes, so that a starter that makes it live again meanwhile is not robbed.
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        *held = error == EWOULDBLOCK;
        return *held ? QString() : QString::fromLocal8Bit(strerror(error));
    }
    const int error = unlink(name.constData()) == 0 ? 0 : errno;
    if (fd >= 0)
        close(fd);
    return error == 0 ? QString() : QString::fromLocal8Bit(strerror(error));
}

void touchLock(const QString &path)
{
    utimensat(AT_FDCWD, QFile::encodeName(path).constData(), nullptr, AT_SYMLINK_NOFOLLOW);
}
