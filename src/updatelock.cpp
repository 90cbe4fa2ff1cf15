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
    : directory(targetDir), path(targetDir + QLatin1String("/.quorvane-starter.lock")), report(report), files(files)
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
        files.release(handle, readOnlyHold ? QByteArray() : released);
    if (directoryHandle >= 0)
        files.releaseDirectory(directoryHandle);
}

// A lock file by what it says, its system lock aside.
UpdateLock::State UpdateLock::judge(const LockFileInfo &file)
{
    if (!file.readable)
        return Unknown; // never stale: its holder cannot be told
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
        // An older starter may hold its file for a moment without the
        // system's lock on it.
        const bool runs = pid != QCoreApplication::applicationPid() && files.holderRuns(pid, QString::fromUtf8(lines[1]));
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
    if (files.directoryIsHeld(directory))
        return true;
    const LockFileInfo file = files.inspect(path);
    if (file.kind == LockFileInfo::Missing)
        return false;
    // Judged first: a lock whose holder may be about to lock it is not probed.
    const State state = judge(file);
    return state == Live || state == Unknown || files.isHeld(path);
}

void UpdateLock::acquire()
{
    waited.start();
    for (;;) {
        const Step step = tryOnce();
        if (step == Holding)
            return;
        if (step == GivingUp)
            return giveUp();
        if (step == Waiting) {
            inTheWay.invalidate();
            othersWorked = true;
            progress.show(QStringLiteral("waiting for another starter to finish the update (%1 s)")
                              .arg(waited.elapsed() / 1000));
        }
        QThread::msleep(step == Waiting ? 200 : 50);
    }
}

// The directory's lock first, then the file's.
UpdateLock::Step UpdateLock::tryOnce()
{
    if (directoryHandle < 0 && directoryLockable) {
        FileError error;
        const LockResult result = files.takeDirectory(directory, &directoryHandle, &error);
        if (result == LockResult::Held)
            return Waiting;
        directoryLockable = result == LockResult::Taken; // else the file's alone, as on a share without such locks
    }
    const LockFileInfo seen = files.inspect(path);
    const State state = judge(seen);
    if (state == Live)
        return Waiting;
    if (state == Unknown)
        return obstacle(seen.error);
    return takeFile(seen, state);
}

UpdateLock::Step UpdateLock::takeFile(const LockFileInfo &seen, State state)
{
    bool created = false;
    bool readOnly = false;
    FileError error;
    const LockResult result = files.take(path, seen, &handle, &created, &readOnly, &error);
    switch (result) {
    case LockResult::Taken: {
        const State now = created ? Free : judge(files.read(handle));
        if (now != Live) {
            hold(now, readOnly);
            return Holding;
        }
        files.release(handle, QByteArray());
        handle = -1;
        return Waiting;
    }
    case LockResult::Held:
        return Waiting;
    case LockResult::Changed:
        return Retrying;
    case LockResult::Unreadable:
        return obstacle(error);
    case LockResult::NotFile:
    case LockResult::Failed:
        break;
    }
    return clearTheWay(seen, state, error);
}

// No lock file can be had as things are: what is in the way goes where it is
// stale; where nothing can be made or removed, the directory's lock holds
// the update alone.
UpdateLock::Step UpdateLock::clearTheWay(const LockFileInfo &seen, State state, const FileError &error)
{
    if (seen.kind == LockFileInfo::Other) {
        const FileError removing = files.remove(path, seen);
        if (!removing.failed()) {
            tookOver = tookOver || state == Stale;
            return Retrying;
        }
        if (!inTheWay.isValid())
            inTheWay.start();
        if (inTheWay.elapsed() < unremovableMs)
            return Retrying;
        if (directoryHandle < 0)
            return obstacle(removing);
        holdDirectoryAlone(removing);
        return Holding;
    }
    if (directoryHandle < 0)
        return obstacle(error);
    holdDirectoryAlone(error);
    return Holding;
}

// Something waiting may remove (a lock file being replaced, made anew):
// given up on after a moment.
UpdateLock::Step UpdateLock::obstacle(const FileError &error)
{
    why = error;
    if (!inTheWay.isValid())
        inTheWay.start();
    return inTheWay.elapsed() >= unremovableMs ? GivingUp : Retrying;
}

// The lock is this starter's: it names its holder and is kept fresh, where
// this user may write it.
void UpdateLock::hold(State state, bool readOnly)
{
    progress.erase();
    held = true;
    readOnlyHold = readOnly;
    if (!readOnly)
        files.write(handle, holderLines());
    const QString shown = shownPath(path);
    if (tookOver || state == Stale)
        report.line(QStringLiteral("took over the lock %1 of a starter that is no longer at work").arg(shown));
    else if (othersWorked && waited.elapsed() >= 1000)
        report.note(QStringLiteral("waited %1 s for another starter's update").arg(waited.elapsed() / 1000));
    if (!readOnly) {
        heartbeat = new Heartbeat(files, handle, stop);
        heartbeat->start();
    }
}

void UpdateLock::holdDirectoryAlone(const FileError &error)
{
    progress.erase();
    held = true;
    report.line(QStringLiteral("cannot use the lock %1: %2; the target directory's lock alone keeps other starters out")
                    .arg(shownPath(path), error.words()));
}

void UpdateLock::giveUp()
{
    progress.erase();
    if (directoryHandle >= 0) {
        files.releaseDirectory(directoryHandle);
        directoryHandle = -1;
    }
    report.line(QStringLiteral("cannot lock %1: %2; the installed program starts unchanged")
                    .arg(shownPath(path), why.words()));
}
