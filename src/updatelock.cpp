#include "updatelock.h"

#include "mirror/progressline.h"
#include "mirror/report.h"
#include "processes.h"

#include <QDateTime>
#include <QSysInfo>

#include <cstdlib>

namespace {

// A live holder refreshes its lock every refreshMs; one not refreshed for
// staleMs is left from a starter that is no longer at work.
const int refreshMs = 5000;
const int staleMs = 30000;
// On Windows a lock file cannot be removed while another starter reads it:
// a stale lock is given up on only when it resists removal this long.
const int unremovableMs = 2000;
// A lock file a starter has just made is empty for a moment, until it writes
// its name into it.
const int namelessMs = 250;

class Heartbeat : public QThread
{
public:
    Heartbeat(const QString &path, QSemaphore &stop) : path(path), stop(stop) {}
    void run() override
    {
        while (!stop.tryAcquire(1, refreshMs))
            touchLock(path);
    }

private:
    const QString path;
    QSemaphore &stop;
};

} // namespace

UpdateLock::UpdateLock(const QString &targetDir, const Report &report)
    : path(targetDir + QLatin1String("/.quorvane-starter.lock")), lock(path), report(report)
{
    // Whether a lock is stale is judged here alone (judge()), never by its age.
    lock.setStaleLockTime(0);
}

UpdateLock::~UpdateLock()
{
    if (heartbeat) {
        stop.release();
        heartbeat->wait();
        delete heartbeat;
    }
    lock.unlock();
}

UpdateLock::State UpdateLock::judge()
{
    const LockFileState file = inspectLock(path);
    if (file.kind == LockFileState::Missing) {
        nameless.invalidate();
        return Free;
    }
    // What QLockFile writes: the holder's process id, its name, its machine.
    const QList<QByteArray> lines = file.contents.split('\n');
    bool named = false;
    const qint64 pid = lines.value(0).toLongLong(&named);
    if (file.kind == LockFileState::File && named && pid > 0 && lines.size() >= 3) {
        nameless.invalidate();
        const QString host = QString::fromUtf8(lines[2]);
        if (host.isEmpty() || host.compare(QSysInfo::machineHostName(), Qt::CaseInsensitive) == 0)
            return lockHolderRuns(path, pid, file.mtimeMs) ? Live : Stale;
        // Another machine's clock means nothing here: only change does.
        const QByteArray seen = file.contents + QByteArray::number(file.mtimeMs);
        if (seen != watched || !unchanged.isValid()) {
            watched = seen;
            unchanged.start();
        }
        return unchanged.elapsed() < staleMs ? Live : Stale;
    }
    // A starter fills its lock the moment it makes it: one that still names
    // nobody a little later was left so, and its age tells how long ago.
    if (file.kind == LockFileState::File) {
        if (!nameless.isValid())
            nameless.start();
        if (nameless.elapsed() < namelessMs)
            return Live;
    }
    return std::abs(QDateTime::currentMSecsSinceEpoch() - file.mtimeMs) > staleMs ? Stale : Live;
}

void UpdateLock::acquire()
{
    const QString shown = shownPath(path);
    ProgressLine progress;
    QElapsedTimer waited;
    waited.start();
    bool othersWorked = false;      // a live starter held the lock while this one waited
    bool tookOver = false;
    // Since the lock was first found stale and still in the way: it resists
    // removal, or cannot even be seen for what it is.
    QElapsedTimer inTheWay;
    for (;;) {
        State state = judge();
        if (state == Stale) {
            bool held = false;
            const QString error = removeLock(path, &held);
            if (held) {
                state = Live;
            } else if (error.isEmpty()) {
                tookOver = true;
                state = Free;
            }
        }
        if (state == Free && lock.tryLock(0)) {
            progress.erase();
            if (tookOver)
                report.line(QStringLiteral("took over the lock %1 of a starter that is no longer at work").arg(shown));
            else if (othersWorked && waited.elapsed() >= 1000)
                report.note(QStringLiteral("waited %1 s for another starter's update").arg(waited.elapsed() / 1000));
            heartbeat = new Heartbeat(path, stop);
            heartbeat->start();
            return;
        }
        if (state == Free && lock.error() != QLockFile::LockFailedError) {
            progress.erase();
            report.line(QStringLiteral("cannot make the lock %1, updating without it").arg(shown));
            return;
        }
        if (state != Live) {
            if (!inTheWay.isValid())
                inTheWay.start();
            if (inTheWay.elapsed() >= unremovableMs) {
                progress.erase();
                report.line(QStringLiteral("cannot remove the stale lock %1, updating without it").arg(shown));
                return;
            }
            QThread::msleep(50);
            continue;
        }
        inTheWay.invalidate();
        othersWorked = true;
        progress.show(QStringLiteral("waiting for another starter to finish the update (%1 s)")
                          .arg(waited.elapsed() / 1000));
        QThread::msleep(200);
    }
}
