#include "processes.h"

#include <QFile>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

extern char **environ;

void prepareProcess()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", O_RDWR); // takes the lowest free descriptor: this one
    }
    signal(SIGPIPE, SIG_IGN);
    // As the core application object will: arguments are decoded before it exists.
    setlocale(LC_ALL, "");
#ifdef __GLIBC__
    // glibc gives threads heaps of their own, up to eight for each core, and
    // each keeps what its thread let go of: the listing threads and the
    // copying workers would hold a few hundred kilobytes apiece, the more
    // the larger the tree. A few shared heaps cost them no time that shows.
    mallopt(M_ARENA_MAX, 4);
#endif
}

void lowerPriority()
{
    setpriority(PRIO_PROCESS, 0, 19);
#ifdef SYS_ioprio_set
    // glibc has no wrapper: IOPRIO_WHO_PROCESS (1), this process (0), the
    // idle class (3) in the top bits.
    const int ioprioIdle = 3 << 13;
    syscall(SYS_ioprio_set, 1, 0, ioprioIdle);
#endif
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

QString programName()
{
    return programOf(getpid());
}

bool processRuns(qint64 pid, const QString &name)
{
    if (pid <= 0 || (kill(pid_t(pid), 0) != 0 && errno == ESRCH))
        return false;
    const QString program = programOf(pid);
    if (program.isEmpty()) // another user's process is there, and that is all that can be told; one that ended is not
        return errno == EACCES || errno == EPERM;
    return program == name;
}
