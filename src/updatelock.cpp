#include "updatelock.h"

#include "mirror/fileops.h"
#include "mirror/progressline.h"
#include "mirror/report.h"
#include "processes.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
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

class Heartbeat : public QThread
{
public:
    Heartbeat(const QString &path, QSemaphore &stop) : path(path), stop(stop) {}
    void run() override
    {
        while (!stop.tryAcquire(1, refreshMs))
            fileops::touchFile(path);
    }

private:
    const QString path;
    QSemaphore &stop;
};

} // namespace

UpdateLock::UpdateLock(const QString &targetDir)
    : path(targetDir + QLatin1String("/.quorvane-starter.lock")), lock(path)
{
    lock.setStaleLockTime(staleMs);
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

bool UpdateLock::isStale() const
{
    const QFileInfo info(path);
    if (!info.exists())
        return false;
    // Refreshed lately: its holder is at work (a time ahead of this clock
    // comes from another machine's, and proves nothing).
    if (std::abs(info.lastModified().msecsTo(QDateTime::currentDateTime())) > staleMs)
        return true;
    qint64 pid = 0;
    QString host, application;
    return lock.getLockInfo(&pid, &host, &application)
           && (host.isEmpty() || host.compare(QSysInfo::machineHostName(), Qt::CaseInsensitive) == 0)
           && !processIsRunning(pid);
}

bool UpdateLock::isHeldElsewhere() const
{
    return QFileInfo::exists(path) && !isStale();
}

void UpdateLock::acquire()
{
    const QString shownPath = QDir::toNativeSeparators(path);
    ProgressLine progress;
    QElapsedTimer waited;
    waited.start();
    QElapsedTimer unremovable; // since a stale lock first resisted removal
    for (;;) {
        const bool staleBefore = isStale();
        if (lock.tryLock(0)) {
            progress.erase();
            if (staleBefore)
                reportLine(QStringLiteral("took over the lock %1 of a starter that is no longer at work").arg(shownPath));
            else if (waited.elapsed() >= 1000)
                logLine(QStringLiteral("waited %1 s for another starter's update").arg(waited.elapsed() / 1000));
            heartbeat = new Heartbeat(path, stop);
            heartbeat->start();
            return;
        }
        if (lock.error() != QLockFile::LockFailedError) {
            progress.erase();
            reportLine(QStringLiteral("cannot make the lock %1, updating without it").arg(shownPath));
            return;
        }
        if (isStale()) { // and yet it could not be removed
            if (!unremovable.isValid())
                unremovable.start();
            if (unremovable.elapsed() >= unremovableMs) {
                progress.erase();
                reportLine(QStringLiteral("cannot remove the stale lock %1, updating without it").arg(shownPath));
                return;
            }
            QThread::msleep(50);
            continue;
        }
        unremovable.invalidate();
        progress.show(QStringLiteral("waiting for another starter to finish the update (%1 s)")
                          .arg(waited.elapsed() / 1000));
        QThread::msleep(200);
    }
}
