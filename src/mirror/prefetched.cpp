#include "mirror/prefetched.h"

#include "mirror/disk.h"

Prefetched::Prefetched(const QString &target, Disk &disk)
    : target(target), files(PrefetchIndex::filesOf(target)), disk(disk), index(PrefetchIndex::read(target, disk))
{
}

bool Prefetched::moveInto(const QString &targetPath, const FileEntry &master, const QString &temporary,
                          CopyOutcome *outcome) const
{
    if (index.entries.isEmpty() || !targetPath.startsWith(target + QLatin1Char('/')))
        return false;
    const QString relative = targetPath.mid(target.size() + 1);
    const auto entry = index.entries.constFind(relative);
    const QString prefetched = files + QLatin1Char('/') + relative;
    if (entry == index.entries.constEnd() || !entry->fits(master) || !disk.ownedByThisUserOrAdministrators(prefetched))
        return false;
    // Renamed first and judged after, by the name it has now: a prefetch
    // still at work may put a newer copy at the old name meanwhile.
    if (disk.moveAside(prefetched, temporary).failed())
        return false;
    const FileEntry moved = disk.fileEntry(temporary);
    if (moved.error.failed() || !entry->isCopy(moved, disk.identity(temporary))
        || !disk.ownedByThisUserOrAdministrators(temporary)) {
        disk.removeFile(temporary);
        return false;
    }
    *outcome = CopyOutcome();
    outcome->kept = moved;
    return true;
}
