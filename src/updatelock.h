#ifndef UPDATELOCK_H
#define UPDATELOCK_H

#include "lockfile.h"
#include "mirror/progressline.h"
#include "mirror/report.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QSemaphore>
#include <QString>
#include <QThread>

// One update of a target at a time: "<target>/.quorvane-starter.lock", a
// file that stays, held by the system's lock on it while its holder runs
// (released by the system when the holder ends, however it ends). Whoever
// holds it names itself in it, as older starters did and still read.
// Beyond that lock, a lock is live, and waited for:
// - another machine's, while it keeps changing as this starter watches it
//   (its holder refreshes it every few seconds): a lock on a file share may
//   outlive a client that crashed;
// - an older starter's that names a process of this machine that runs;
// - a lock that names nobody (empty, garbage, a directory, a link), while it
//   is younger than a stale time: a starter that makes a lock fills it at once.
// Anything else is taken, and a lock that was not let go of is taken over
// with a line that says so; where one cannot be removed, or no lock can be
// made, the update goes on without one, and says so too.
class UpdateLock
{
public:
    UpdateLock(const QString &targetDir, const Report &report, LockFiles &files = SystemLockFiles::instance());
    ~UpdateLock();

    // Returns once the lock is held, or given up on.
    void acquire();
    bool isHeld() const { return handle >= 0; }
    // Whether a live starter holds the lock, updating the target now; the
    // lock is not taken to find out.
    bool isHeldElsewhere();

private:
    enum State { Free, Live, Stale };
    // What became of a lock path this starter cannot lock.
    enum Way { Occupied, Cleared, Blocked, Stuck };
    State judge(const LockFileInfo &file);
    Way clearTheWay(LockResult result);
    void hold(State state);
    void giveUp(const char *line);

    const QString path;
    const Report &report;
    LockFiles &files;
    qintptr handle = -1;
    QSemaphore stop;
    QThread *heartbeat = nullptr;
    // Another machine's lock, as last seen, and since when it has not changed.
    QByteArray watched;
    QElapsedTimer unchanged;
    QElapsedTimer nameless; // since a lock that names nobody was first seen
    // While acquire() waits.
    ProgressLine progress;
    QElapsedTimer waited;
    bool othersWorked = false; // a live starter held the lock meanwhile
    bool tookOver = false;
    QElapsedTimer inTheWay;    // since a stale lock was first found still in the way
};

#endif
