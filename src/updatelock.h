#ifndef UPDATELOCK_H
#define UPDATELOCK_H

#include <QLockFile>
#include <QSemaphore>
#include <QString>
#include <QThread>

// One update of a target at a time: "<target>/.quorvane-starter.lock". The
// holder refreshes the lock file's time while it works, so a lock that has
// not been refreshed for a while is stale, whatever it holds (nothing,
// garbage, another machine's starter, a directory); so is one whose starter
// no longer runs on this machine. A stale lock is taken over; where it cannot
// be removed, or no lock can be made, the update goes on without one. Each
// of these says so in one line on standard error. A live update is waited
// for, however long it takes.
class UpdateLock
{
public:
    explicit UpdateLock(const QString &targetDir);
    ~UpdateLock();

    // Returns once the lock is held, or given up on.
    void acquire();
    // Whether a live starter holds the lock, updating the target now.
    bool isHeldElsewhere() const;

private:
    bool isStale() const;

    const QString path;
    QLockFile lock;
    QSemaphore stop;
    QThread *heartbeat = nullptr;
};

#endif
