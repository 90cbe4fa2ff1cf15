#ifndef PREFETCHED_H
#define PREFETCHED_H

// The update's use of what a prefetch fetched ahead (prefetchindex.h).

#include "mirror/prefetchindex.h"

#include <QString>

class Disk;

// The prefetched copies an update may take instead of reading the master:
// only those the index names whose master entry is, as the update sees it,
// the one the prefetch saw before and after its copy. A copy is renamed
// onto the update's temporary, and is that temporary only if it is still
// the very file the prefetch left; anything else, and any file this user
// may not rename (another user's), is copied from the master as ever.
class Prefetched
{
public:
    Prefetched(const QString &target, Disk &disk);

    // Puts the prefetched copy of the file at targetPath, whose master entry
    // the update sees as master, onto temporary, as a copy from the master
    // would (on disk already, closed); false where there is none to take,
    // nothing then changed. On any thread.
    bool moveInto(const QString &targetPath, const FileEntry &master, const QString &temporary,
                  CopyOutcome *outcome) const;
    bool isEmpty() const { return index.entries.isEmpty(); }

private:
    const QString target;
    const QString files;
    Disk &disk;
    const PrefetchIndex index;
};

#endif
