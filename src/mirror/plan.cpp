#include "mirror/plan.h"

#include "mirror/comparison.h"
#include "mirror/disk.h"
#include "mirror/staged.h"
#include "mirror/temporarynames.h"

#include <QDataStream>
#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <cerrno>

namespace {

const char excludedFile[] = "quorvaneglobal.conf.xml";

Qt::CaseSensitivity fileNameCase()
{
    // Where names ignore case, "QuorvaneGlobal.conf.xml" from the master would
    // land on the local configuration, so the exclusion ignores case too.
    return namesIgnoreCase() ? Qt::CaseInsensitive : Qt::CaseSensitive;
}

QString key(const QString &name)
{
    return namesIgnoreCase() ? name.toCaseFolded() : name;
}

bool sameName(const QString &a, const QString &b)
{
    return a.compare(b, fileNameCase()) == 0;
}

} // namespace

Plan::Plan(const MirrorOptions &options, Disk &disk, TemporaryNames &names, const Comparison &comparison,
           const StagedFiles &staged)
    : options(options), disk(disk), names(names), comparison(comparison), staged(staged)
{
    if (!options.checkFile.isEmpty()) {
        const QString clean = QDir::cleanPath(options.checkFile);
        checkDir = clean.contains(QLatin1Char('/')) ? clean.section(QLatin1Char('/'), 0, -2) : QString();
        checkName = clean.section(QLatin1Char('/'), -1);
    }
}

void Plan::run(const QString &master, const QString &target, const Each &each)
{
    this->each = each;
    const Identity masterId = disk.identity(master);
    ListingPrefetcher listings(master, disk);
    prefetcher = &listings;
    walk(master, target, QString(), masterId, disk.identity(target));
    prefetcher = nullptr;
}

void Plan::note(const QString &relative, const FileEntry &entry)
{
    newestChange = std::max({ newestChange, entry.mtimeNs, entry.changedNs });
    QByteArray record;
    QDataStream out(&record, QIODevice::WriteOnly);
    out << relative << entry.name << entry.isFile << entry.isDir << entry.size << entry.mtimeNs << entry.changedNs
        << entry.mode << int(entry.error.kind()) << entry.error.code();
    lookHash.addData(record);
}

void Plan::walk(const QString &master, const QString &target, const QString &relative, Identity masterId,
                Identity targetId)
{
    // A link back into the tree, or a target inside the master, would
    // otherwise make the walk descend without end. Directories are known by
    // their identity, which costs nothing per level, however deep.
    if (masterId.second == 0)
        masterId = disk.identity(master);
    if (masterId.second != 0 && activeDirs.contains(masterId))
        return;
    const int activeBefore = activeDirs.size();
    const QVector<Subdirectory> subdirs = planDirectory(master, target, relative, masterId, targetId);
    for (const Subdirectory &dir : subdirs)
        walk(master + QLatin1Char('/') + dir.name, target + QLatin1Char('/') + dir.name,
             relative.isEmpty() ? dir.name : relative + QLatin1Char('/') + dir.name, dir.masterId, dir.targetId);
    activeDirs.erase(activeDirs.begin() + activeBefore, activeDirs.end());
}

// Plans one directory and hands the plan over; its listings are let go
// before the subdirectories it returns are walked.
QVector<Plan::Subdirectory> Plan::planDirectory(const QString &master, const QString &target,
                                                const QString &relative, Identity masterId, Identity targetId)
{
    const Listing masterListing = prefetcher->take(master); // sorted as the walk goes
    const Listing targetListing = disk.listDirectory(target);
    DirectoryPlan plan;
    plan.master = master;
    plan.target = target;
    // One level only; a relative target is taken from the current directory.
    if (options.makeDirectories && targetListing.error.failed() && !QFileInfo(target).isDir()) {
        const FileError error = disk.makeDirectory(target);
        if (error.failed()) {
            plan.failures.append(qMakePair(0, Failure{ "cannot create directory", target, error }));
        } else {
            grown.insert(target.section(QLatin1Char('/'), 0, -2));
            targetId = disk.identity(target); // it may lie inside the master
            made.append(qMakePair(target, targetId));
        }
    }
    activeDirs << masterId;
    if (targetId.second != 0)
        activeDirs << targetId;
    if (masterListing.error.failed())
        plan.failures.append(qMakePair(0, Failure{ "cannot read directory", master, masterListing.error }));
    planFiles(&plan, relative, masterListing.entries, targetListing.entries);
    if (options.removeLeftovers)
        removeLeftovers(target, masterListing.entries, targetListing.entries);
    const QVector<Subdirectory> subdirs = subdirectories(&plan, masterListing.entries, targetListing.entries);
    each(plan);
    return subdirs;
}

// The master's subdirectories to walk, each with the identity of the
// target's of that name, if any.
QVector<Plan::Subdirectory> Plan::subdirectories(DirectoryPlan *plan, const QVector<FileEntry> &masterEntries,
                                                 const QVector<FileEntry> &targetEntries)
{
    QHash<QString, Identity> targetDirs;
    for (const FileEntry &dir : targetEntries) {
        if (dir.isDir)
            targetDirs.insert(key(dir.name), Identity(dir.device, dir.inode));
    }
    QVector<Subdirectory> subdirs;
    for (const FileEntry &dir : masterEntries) {
        if (dir.isDir && !dir.hidden && dir.badName)
            plan->failures.append(qMakePair(plan->copies.size(),
                                            Failure{ "cannot read directory", plan->master + QLatin1Char('/') + dir.name,
                                                     FileError(FileError::Other, EILSEQ) }));
        else if (ListingPrefetcher::isWalked(dir))
            subdirs.append(Subdirectory{ dir.name, Identity(dir.device, dir.inode), targetDirs.value(key(dir.name)) });
    }
    return subdirs;
}

// Leftovers of a run that was killed; a file the master has is the master's.
void Plan::removeLeftovers(const QString &target, const QVector<FileEntry> &masterEntries,
                               const QVector<FileEntry> &targetEntries)
{
    for (const FileEntry &file : targetEntries) {
        if (file.isFile && TemporaryNames::isTemporary(file.name) && !names.isOurs(file.name)
            && std::none_of(masterEntries.begin(), masterEntries.end(),
                            [&](const FileEntry &m) { return sameName(m.name, file.name); }))
            disk.removeFile(target + QLatin1Char('/') + file.name);
    }
}

bool Plan::isOwnFile(const MirrorOptions &options, const QString &relative, const QString &name)
{
    return sameName(name, QLatin1String(excludedFile))
           || (relative.isEmpty() && std::any_of(options.ownFiles.begin(), options.ownFiles.end(),
                                                 [&](const QString &own) { return sameName(name, own); }));
}

// The workstation's own files, the check file (it goes in last), and the
// earlier of two names that are one where case is ignored.
bool Plan::leftOut(const QString &relative, bool inCheckDir, const FileEntry &file, int index,
                   const QHash<QString, int> &lastOfName) const
{
    return isOwnFile(options, relative, file.name) || (inCheckDir && sameName(file.name, checkName))
           || (!lastOfName.isEmpty() && lastOfName.value(key(file.name)) != index);
}

void Plan::planFiles(DirectoryPlan *plan, const QString &relative, const QVector<FileEntry> &files,
                     const QVector<FileEntry> &targetEntries)
{
    QHash<QString, const FileEntry *> targetFiles;
    for (const FileEntry &file : targetEntries)
        targetFiles.insert(key(file.name), &file);
    const StagedFiles::InDirectory waiting = staged.in(plan->target);
    const bool inCheckDir = !checkName.isEmpty() && sameName(relative, checkDir);
    // Two master names that differ only in case: the later one wins.
    QHash<QString, int> lastOfName;
    if (namesIgnoreCase()) {
        for (int i = 0; i < files.size(); ++i)
            lastOfName.insert(key(files[i].name), i);
    }
    for (int i = 0; i < files.size(); ++i) {
        const FileEntry &file = files[i];
        note(relative, file);
        if (file.hidden || file.isDir)
            continue;
        if (file.error.failed() || file.badName) {
            plan->failures.append(qMakePair(plan->copies.size(),
                                            Failure{ "cannot read", plan->master + QLatin1Char('/') + file.name,
                                                     file.badName ? FileError(FileError::Other, EILSEQ) : file.error }));
            continue;
        }
        if (!file.isFile || leftOut(relative, inCheckDir, file, i, lastOfName))
            continue;
        const FileEntry *existing = targetFiles.value(key(file.name));
        FileEntry copy;
        const int restaged = waiting.find(file.name, &copy);
        if (existing && existing->isDir) { // known now, rather than when everything else is ready
            plan->failures.append(qMakePair(plan->copies.size(),
                                            Failure{ "cannot update", plan->target + QLatin1Char('/') + file.name,
                                                     FileError::directoryInTheWay() }));
        } else if (comparison.needsCopy(file, restaged >= 0 ? &copy : existing,
                                        plan->target + QLatin1Char('/') + file.name)) {
            plan->copies.append(DirectoryPlan::Copy{ file, existing != nullptr, restaged });
        }
    }
}
