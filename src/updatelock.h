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

// One update of a target at a time, for every user of the workstation. A
// starter takes two locks, always in this order, both released by the
// system when their holder ends, however it ends:
// - the target directory's (flock on the directory; on Windows a named
//   mutex every user may take), which keeps out every starter of this
//   release on this machine whoever made what;
// - "<target>/.quorvane-starter.lock", a file that stays, by the system's
//   lock on it, which other machines and the previous release take too.
//   Whoever holds it names itself in it, as older starters did and still
//   read (where it may only be opened for reading, it names nobody and is
//   not refreshed: another machine may take it over after 30 s, older
//   starters of this machine judge it by its system lock).
// Beyond the system's lock, a lock file is live, and waited for without
// touching its lock:
// - another machine's, while it keeps changing as this starter watches it
//   (its holder refreshes it every few seconds): a lock on a file share may
//   outlive a client that crashed;
// - an older starter's that names a process of this machine that runs;
// - one that names nobody (empty, garbage, a directory, a link), while it
//   is younger than a stale time: a starter that makes a lock fills it at
//   once, and an older one locks it only after making it.
// A lock file that was not let go of is taken over with a line that says
// so. Where there can be no lock file (a directory or a link that cannot be
// removed, a target where none can be made), the directory's lock holds the
// update alone. Where neither lock can be had, or the lock file is one this
// user may not open (whose holder cannot be told), the starter gives up
// after a moment: no update, and a line that says why.
class UpdateLock
{
public:
    UpdateLock(const QString &targetDir, const Report &report, LockFiles &files = SystemLockFiles::instance());
    ~UpdateLock();

    // Returns once the lock is held, or given up on.
    void acquire();
    bool isHeld() const { return held; }
    // Whether a live starter holds the lock, updating the target now; the
    // lock is not taken to find out.
    bool isHeldElsewhere();

private:
    enum State { Free, Live, Stale, Unknown };
    // What came of one try.
    enum Step { Holding, Waiting, Retrying, GivingUp };
    Step tryOnce();
    Step takeFile(const LockFileInfo &seen, State state);
    Step clearTheWay(const LockFileInfo &seen, State state, const FileError &error);
    Step obstacle(const FileError &error);
    State judge(const LockFileInfo &file);
    void hold(State state, bool readOnly);
    void holdDirectoryAlone(const FileError &error);
    void giveUp();

    const QString directory;
    const QString path;
    const Report &report;
    LockFiles &files;
    qintptr handle = -1;          // the lock file's
    qintptr directoryHandle = -1; // the directory's
    bool directoryLockable = true;
    bool held = false;
    bool readOnlyHold = false; // the lock file open for reading only
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
    QElapsedTimer inTheWay;    // since an obstacle was first found still in the way
    FileError why;             // the obstacle's
};

#endif
