// A starter of the previous release at one target, as far as its lock goes:
// QLockFile, with its own judging and removal of a stale lock, exactly as
// that release took it. It holds the lock for a while and says whether the
// target was left to it meanwhile.
//   oldstarter <target dir> <hold ms>
// prints "acquired <check file size>", then "undisturbed" (exit 0) or what
// disturbed it (exit 1).
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSysInfo>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int openLock(const QByteArray &path)
{
    return open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

enum State { Free, Live, Stale };

// The previous release's judge: a local holder by its flock, a nameless
// lock by its age (another machine's does not come up here).
State judge(const QByteArray &path)
{
    struct stat info;
    if (lstat(path.constData(), &info) != 0)
        return Free;
    QByteArray contents;
    const int fd = S_ISREG(info.st_mode) ? openLock(path) : -1;
    if (fd >= 0) {
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        contents = n > 0 ? QByteArray(buffer, int(n)) : QByteArray();
        close(fd);
    }
    const QList<QByteArray> lines = contents.split('\n');
    bool named = false;
    const qint64 pid = lines.value(0).toLongLong(&named);
    if (S_ISREG(info.st_mode) && named && pid > 0 && lines.size() >= 3) {
        const int probe = openLock(path);
        if (probe < 0)
            return kill(pid_t(pid), 0) == 0 || errno != ESRCH ? Live : Stale;
        const bool held = flock(probe, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        close(probe);
        return held ? Live : Stale;
    }
    const qint64 mtimeMs = qint64(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
    return std::abs(QDateTime::currentMSecsSinceEpoch() - mtimeMs) > 30000 ? Stale : Live;
}

// The previous release's removal: under the file's flock, by its name.
bool removeLock(const QByteArray &path, bool *held)
{
    *held = false;
    const int fd = openLock(path);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *held = errno == EWOULDBLOCK;
        close(fd);
        return false;
    }
    const bool removed = unlink(path.constData()) == 0;
    if (fd >= 0)
        close(fd);
    return removed;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    const QString target = QString::fromLocal8Bit(argv[1]);
    const QString path = target + QLatin1String("/.quorvane-starter.lock");
    const QByteArray name = QFile::encodeName(path);
    QLockFile lock(path);
    lock.setStaleLockTime(0);
    QElapsedTimer inTheWay; // as long as this, it went on without the lock
    for (;;) {
        State state = judge(name);
        if (state == Stale) {
            bool held = false;
            if (removeLock(name, &held))
                state = Free;
            else if (held)
                state = Live;
        }
        if (state == Free && lock.tryLock(0))
            break;
        if (state == Live) {
            inTheWay.invalidate();
        } else if (!inTheWay.isValid()) {
            inTheWay.start();
        } else if (inTheWay.elapsed() >= 2000) {
            printf("without the lock\n");
            break;
        }
        QThread::msleep(state == Live ? 200 : 50);
    }
    const QString checkFile = target + QLatin1String("/quorvane.exe");
    printf("acquired %lld\n", static_cast<long long>(QFileInfo(checkFile).size()));
    fflush(stdout);
    struct stat mine;
    stat(name.constData(), &mine);
    const QByteArray contents = [&] { QFile f(path); f.open(QIODevice::ReadOnly); return f.readAll(); }();
    const qint64 size = QFileInfo(checkFile).size();
    QElapsedTimer held;
    held.start();
    QString disturbed;
    while (held.elapsed() < atoi(argv[2]) && disturbed.isEmpty()) {
        struct stat now;
        QFile f(path);
        if (lstat(name.constData(), &now) != 0 || now.st_ino != mine.st_ino || now.st_dev != mine.st_dev)
            disturbed = QStringLiteral("the lock file was replaced");
        else if (f.open(QIODevice::ReadOnly) && f.readAll() != contents)
            disturbed = QStringLiteral("the lock file was written by another");
        else if (QFileInfo(checkFile).size() != size)
            disturbed = QStringLiteral("the target was updated meanwhile");
        QThread::msleep(10);
    }
    lock.unlock();
    printf("%s\n", disturbed.isEmpty() ? "undisturbed" : qPrintable(disturbed));
    return disturbed.isEmpty() ? 0 : 1;
}
