#ifndef UPDATELOCK_H
#define UPDATELOCK_H

#include "mirror/report.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QLockFile>
#include <QSemaphore>
#include <QString>
#include <QThread>

// One update of a target at a time: "<target>/.quorvane-starter.lock".
// A lock is live, and waited for, exactly while its holder works:
// - a starter of this machine, while it runs and holds the lock, however
//   long it takes and whatever the clock does;
// - another machine's, while it keeps changing as this starter watches it
//   (its holder refreshes it every few seconds);
// - a lock that names nobody (empty, garbage, a directory, a link), while it
//   is younger than a stale time: a starter that makes a lock fills it at once.
// A stale lock is taken over, and a line says so; where it cannot be removed,
// or no lock can be made, the update goes on without one, and says so too.
class UpdateLock
{
public:
    UpdateLock(const QString &targetDir, const Report &report);
    ~UpdateLock();

    // Returns once the lock is held, or given up on.
    void acquire();
    bool isHeld() const { return lock.isLocked(); }
    // Whether a live starter holds the lock, updating the target now.
    bool isHeldElsewhere() { return judge() == Live; }

private:
    enum State { Free, Live, Stale };
    State judge();

    const QString path;
    QLockFile lock;
    const Report &report;
    QSemaphore stop;
    QThread *heartbeat = nullptr;
    // Another machine's lock, as last seen, and since when it has not changed.
    QByteArray watched;
    QElapsedTimer unchanged;
    QElapsedTimer nameless; // since an empty lock file was first seen
};

#endif
