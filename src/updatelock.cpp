#include "updatelock.h"

#include "processes.h"

#include "mirror/progressline.h"
#include "mirror/report.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QSysInfo>

#include <cstdlib>

namespace {

// A live holder refreshes its lock every refreshMs; another machine's lock
// not refreshed for staleMs is left from a starter that is no longer at work.
const int refreshMs = 5000;
const int staleMs = 30000;
// A stale lock that resists removal this long is given up on.
const int unremovableMs = 2000;
// A lock file a starter has just made is empty for a moment, until it writes
// its name into it.
const int namelessMs = 250;
// What a starter leaves in the lock when it lets go: no holder, nothing
// taken over when the next one takes it.
const QByteArray released = "released\n";

class Heartbeat : public QThread
{
public:
    Heartbeat(LockFiles &files, qintptr handle, QSemaphore &stop) : files(files), handle(handle), stop(stop) {}
    void run() override
    {
        while (!stop.tryAcquire(1, refreshMs))
            files.touch(handle);
    }

private:
    LockFiles &files;
    const qintptr handle;
    QSemaphore &stop;
};

// The lines older starters (QLockFile) write and read: process id, program, machine.
QByteArray holderLines()
{
    return QByteArray::number(QCoreApplication::applicationPid()) + '\n' + programName().toUtf8()
           + '\n' + QSysInfo::machineHostName().toUtf8() + '\n';
}

bool young(const LockFileInfo &file)
{
    return std::abs(QDateTime::currentMSecsSinceEpoch() - file.mtimeMs) <= staleMs;
}

} // namespace

UpdateLock::UpdateLock(const QString &targetDir, const Report &report, LockFiles &files)
    : path(targetDir + QLatin1String("/.quorvane-starter.lock")), report(report), files(files)
{
}

UpdateLock::~UpdateLock()
{
    if (heartbeat) {
        stop.release();
        heartbeat->wait();
        delete heartbeat;
    }
    if (handle >= 0)
        files.release(handle, released);
}

// A lock file by what it says, its system lock aside.
UpdateLock::State UpdateLock::judge(const LockFileInfo &file)
{
    if (file.kind == LockFileInfo::Missing || file.contents == released) {
        nameless.invalidate();
        return Free;
    }
    if (file.kind != LockFileInfo::File)
        return young(file) ? Live : Stale;
    const QList<QByteArray> lines = file.contents.split('\n');
    bool named = false;
    const qint64 pid = lines.value(0).toLongLong(&named);
    if (!named || pid <= 0 || lines.size() < 3) {
        // A starter fills its lock the moment it makes it: one that still
        // names nobody a little later was left so, and its age tells how long ago.
        if (!nameless.isValid())
            nameless.start();
        return nameless.elapsed() < namelessMs || young(file) ? Live : Stale;
    }
    nameless.invalidate();
    const QString host = QString::fromUtf8(lines[2]);
    if (host.isEmpty() || host.compare(QSysInfo::machineHostName(), Qt::CaseInsensitive) == 0) {
        // An older starter (QLockFile) may hold its file for a moment
        // without the system's lock on it.
        const bool runs = pid != QCoreApplication::applicationPid()
                          && files.holderRuns(pid, QString::fromUtf8(lines[1]));
        return runs ? Live : Stale;
    }
    // Another machine's clock means nothing here: only change does.
    const QByteArray seen = file.contents + QByteArray::number(file.mtimeMs);
    if (seen != watched || !unchanged.isValid()) {
        watched = seen;
        unchanged.start();
    }
    return unchanged.elapsed() < staleMs ? Live : Stale;
}

bool UpdateLock::isHeldElsewhere()
{
    const LockFileInfo file = files.inspect(path);
    return file.kind != LockFileInfo::Missing && (files.isHeld(path) || judge(file) == Live);
}

void UpdateLock::acquire()
{
    waited.start();
    for (;;) {
        bool created = false;
        FileError error;
        const LockResult result = files.take(path, &handle, &created, &error);
        if (result == LockResult::Failed)
            return giveUp("cannot make the lock %1, updating without it");
        if (result == LockResult::Taken) {
            const State state = created ? Free : judge(files.read(handle));
            if (state != Live)
                return hold(state);
            files.release(handle, QByteArray());
            handle = -1;
        } else if (result != LockResult::Held) {
            const Way way = clearTheWay(result);
            if (way == Stuck)
                return giveUp("cannot remove the stale lock %1, updating without it");
            if (way == Blocked)
                QThread::msleep(50);
            if (way != Occupied)
                continue;
        }
        inTheWay.invalidate();
        othersWorked = true;
        progress.show(QStringLiteral("waiting for another starter to finish the update (%1 s)")
                          .arg(waited.elapsed() / 1000));
        QThread::msleep(200);
    }
}

// Not a file this starter can lock (a link, a directory, a pipe, a file it
// may not write): removed when stale, so that one can be made.
UpdateLock::Way UpdateLock::clearTheWay(LockResult result)
{
    const LockFileInfo seen = files.inspect(path);
    const State state = result == LockResult::Unwritable && files.isHeld(path) ? Live : judge(seen);
    if (state == Live)
        return Occupied;
    if (!files.remove(path, seen).failed()) {
        tookOver = tookOver || state == Stale;
        return Cleared;
    }
    if (!inTheWay.isValid())
        inTheWay.start();
    return inTheWay.elapsed() >= unremovableMs ? Stuck : Blocked;
}

// The lock is this starter's: it names its holder and is kept fresh.
void UpdateLock::hold(State state)
{
    progress.erase();
    files.write(handle, holderLines());
    const QString shown = shownPath(path);
    if (tookOver || state == Stale)
        report.line(QStringLiteral("took over the lock %1 of a starter that is no longer at work").arg(shown));
    else if (othersWorked && waited.elapsed() >= 1000)
        report.note(QStringLiteral("waited %1 s for another starter's update").arg(waited.elapsed() / 1000));
    heartbeat = new Heartbeat(files, handle, stop);
    heartbeat->start();
}

void UpdateLock::giveUp(const char *line)
{
    progress.erase();
    report.line(QString::fromLatin1(line).arg(shownPath(path)));
}
