#ifndef PREFETCH_H
#define PREFETCH_H

// A release fetched ahead of the click that will need it (--prefetch).

#include "lockfile.h"
#include "mirror/prefetchindex.h"
#include "mirror/report.h"
#include "updatelock.h"

#include <QAtomicInteger>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QVector>

class Disk;

// Copies what an update would copy now (the plan's choice, the check file
// aside: an update always reads that from the master) into the target's
// prefetch directory, one file at a time, each on disk before the index
// names it, and keeps only copies whose master entry did not change while
// they were read. It touches nothing of the installation and takes no
// update lock: it holds the prefetch directory's own lock, looks between
// files and at least every fifth of a second whether a starter holds the
// update lock, and steps aside at once when one does, its index naming
// what it finished. Older copies the master has changed since are
// replaced, those no update would take any more removed: the directory
// never holds more than one release's changed files.
class Prefetch
{
public:
    struct Settings
    {
        QString master, target, checkFile;
        QStringList ownFiles;  // the target's own files at its top
        qint64 bytesPerSecond = 0; // reading from the master at most (0: no cap)
    };
    enum Ending { Done, SteppedAside, LeftAlone };
    struct Result
    {
        Ending ending = Done;
        int files = 0;    // copied by this run
        qint64 bytes = 0;
        int failed = 0;   // could not be copied, or changed while read
        QString why;      // LeftAlone: what was found
    };

    Prefetch(const Settings &settings, Disk &disk, LockFiles &lockFiles = SystemLockFiles::instance());
    Result run();

    // After a complete update: the prefetched files are spent. Waits a
    // moment for a prefetch that is stepping aside.
    static void clear(const QString &target, Disk &disk, LockFiles &lockFiles);

private:
    struct Wanted
    {
        QString path; // relative to the target
        QString masterPath;
        FileEntry master;
    };

    Result fetchAll(const PrefetchIndex &found);
    bool makeParents(const QString &path);
    QVector<Wanted> plan();
    bool fetch(const Wanted &wanted);
    bool stillFetched(const Wanted &wanted, const PrefetchIndex &found);
    bool keepGoing();
    bool clickWaits();
    void removeUnwanted(const QVector<Wanted> &wanted);
    static void removeTree(Disk &disk, const QString &directory, const PrefetchIndex *keep, const QString &relative);

    const Settings settings;
    Disk &disk;
    LockFiles &lockFiles;
    const Report quiet; // the update lock is only looked at: it says nothing
    UpdateLock updateLock;
    const QString directory;
    PrefetchIndex index;
    QAtomicInteger<qint64> bytesRead{ 0 };
    QElapsedTimer started, looked, written;
    bool steppedAside = false;
};

#endif
