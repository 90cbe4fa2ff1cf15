#ifndef BUSYRETRY_H
#define BUSYRETRY_H

#include "mirror/fileerror.h"

#include <QAtomicInteger>
#include <QString>

#include <functional>

// Another program may hold a file for a moment: a virus scanner, the search
// indexer or a backup agent opens new and replaced files without sharing
// them, a second copy of the program holds its own. Such a call is tried
// again with growing waits, up to perFileMs for one file and runMs for all
// the waiting of a run together, on whichever thread it failed.
class BusyRetry
{
public:
    explicit BusyRetry(int perFileMs = 5000, int runMs = 20000) : perFileMs(perFileMs), runMs(runMs) {}

    // Calls attempt until it succeeds, fails for another reason than a busy
    // file, or the time is up; returns its last error, which tells how long
    // it waited when that was for nothing.
    FileError run(const std::function<FileError()> &attempt);

private:
    const int perFileMs;
    const int runMs;
    QAtomicInteger<int> waitedMs; // by every thread of the run
};

#endif
