#include "mirror/comparison.h"

namespace {

// The same time, or the master's time as a file system with coarser
// timestamps (NTFS, exFAT, FAT, ...) keeps it.
bool sameTime(qint64 masterNs, qint64 targetNs)
{
    if (masterNs == targetNs)
        return true;
    for (const qint64 unit : { Q_INT64_C(100), Q_INT64_C(1000), Q_INT64_C(1000000), Q_INT64_C(10000000),
                               Q_INT64_C(1000000000), Q_INT64_C(2000000000) }) {
        qint64 coarse = masterNs - masterNs % unit;
        if (masterNs < 0 && masterNs % unit != 0)
            coarse -= unit;
        if (targetNs == coarse)
            return true;
    }
    return false;
}

} // namespace

bool Comparison::needsCopy(const FileEntry &master, const FileEntry *target, const QString &targetPath) const
{
    if (!target || !target->isFile || target->size != master.size)
        return true;
    const auto copy = copies.constFind(targetPath);
    if (copy != copies.constEnd() && copy->masterMtimeNs == master.mtimeNs && copy->masterMode == master.mode
        && copy->keptMtimeNs == target->mtimeNs && copy->keptMode == target->mode)
        return false;
    if (target->mode != master.mode && !devicesWithoutPermissions.contains(target->device))
        return true;
    return !sameTime(master.mtimeNs, target->mtimeNs);
}

void Comparison::copied(const QString &targetPath, const FileEntry &master, const FileEntry &kept)
{
    if (kept.mode == master.mode && sameTime(master.mtimeNs, kept.mtimeNs))
        return; // kept as it is: compared as usual, and nothing to hold in memory
    copies.insert(targetPath, Copy{ master.mtimeNs, master.mode, kept.mtimeNs, kept.mode });
    if (kept.mode != master.mode)
        devicesWithoutPermissions.insert(kept.device);
}
