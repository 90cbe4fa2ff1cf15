#include "prefetch.h"

#include "mirror/commitrecord.h"
#include "mirror/comparison.h"
#include "mirror/disk.h"
#include "mirror/plan.h"
#include "mirror/recovery.h"
#include "mirror/staged.h"
#include "mirror/temporarynames.h"

#include <QSet>
#include <QThread>

namespace {

// How often a copy under way looks whether a starter wants the target.
const qint64 lookEveryMs = 200;

} // namespace

Prefetch::Prefetch(const Settings &settings, Disk &disk, LockFiles &lockFiles)
    : settings(settings), disk(disk), lockFiles(lockFiles), updateLock(settings.target, quiet, lockFiles),
      directory(PrefetchIndex::directoryOf(settings.target))
{
}

Prefetch::Result Prefetch::run()
{
    Result result;
    result.ending = LeftAlone;
    if (Recovery::recordIn(settings.target, disk)) {
        result.why = QStringLiteral("an update cut short is still to be settled by the next start");
        return result;
    }
    if (clickWaits()) {
        result.ending = SteppedAside;
        return result;
    }
    const FileError made = disk.makeOwnDirectory(directory);
    if (made.failed()) {
        result.why = QStringLiteral("cannot create %1: %2").arg(shownPath(directory), made.words());
        return result;
    }
    qintptr handle = -1;
    FileError error;
    const LockResult taken = lockFiles.takeOwn(directory + QStringLiteral("/lock"), &handle, &error);
    if (taken != LockResult::Taken) {
        result.why = taken == LockResult::Held || taken == LockResult::Changed
                         ? QStringLiteral("another prefetch is at work")
                         : QStringLiteral("cannot lock %1: %2").arg(shownPath(directory + QStringLiteral("/lock")),
                                                                  error.words());
        return result;
    }
    result = fetchAll(PrefetchIndex::read(settings.target, disk));
    lockFiles.release(handle, QByteArray());
    return result;
}

Prefetch::Result Prefetch::fetchAll(const PrefetchIndex &found)
{
    Result result;
    index = found;
    const QVector<Wanted> wanted = plan();
    started.start();
    written.start();
    for (const Wanted &file : wanted) {
        looked.invalidate(); // between files, always
        if (!keepGoing())
            break;
        if (stillFetched(file, found))
            continue;
        index.entries.remove(file.path);
        if (fetch(file)) {
            ++result.files;
            result.bytes += file.master.size;
        } else if (!steppedAside) {
            ++result.failed;
        }
        if (written.elapsed() >= 1000) { // a click that comes now finds what is done
            index.write(settings.target, disk);
            written.restart();
        }
    }
    if (!steppedAside)
        removeUnwanted(wanted);
    index.write(settings.target, disk);
    result.ending = steppedAside ? SteppedAside : Done;
    return result;
}

// What an update would copy now, as its plan decides, without changing anything.
QVector<Prefetch::Wanted> Prefetch::plan()
{
    MirrorOptions options;
    options.checkFile = settings.checkFile;
    options.ownFiles = settings.ownFiles;
    options.ownFiles << QLatin1String(CommitRecord::fileName);
    options.removeLeftovers = false; // another starter's, maybe at work
    options.makeDirectories = false;
    options.disk = &disk;
    TemporaryNames names;
    Comparison comparison;
    StagedFiles none(names, disk);
    if (!disk.keepsPermissions(directory + QStringLiteral("/probe")))
        comparison.ignorePermissionsOn(disk.identity(settings.target).first);
    QVector<Wanted> wanted;
    Plan planned(options, disk, names, comparison, none);
    planned.run(settings.master, settings.target, [&](const DirectoryPlan &directoryPlan) {
        const QString relative = directoryPlan.target.mid(settings.target.size() + 1);
        for (const DirectoryPlan::Copy &copy : directoryPlan.copies)
            wanted.append(Wanted{ relative.isEmpty() ? copy.master.name : relative + QLatin1Char('/') + copy.master.name,
                                  directoryPlan.master + QLatin1Char('/') + copy.master.name, copy.master });
    });
    return wanted;
}

// Whether an earlier prefetch's copy is still the master's file.
bool Prefetch::stillFetched(const Wanted &wanted, const PrefetchIndex &found)
{
    const auto entry = found.entries.constFind(wanted.path);
    if (entry == found.entries.constEnd() || !entry->fits(wanted.master))
        return false;
    const QString path = PrefetchIndex::filesOf(settings.target) + QLatin1Char('/') + wanted.path;
    return entry->isCopy(disk.fileEntry(path), disk.identity(path));
}

// Copied to "partial", on disk, then named; kept only where the master's
// entry after the copy is the one before it.
bool Prefetch::fetch(const Wanted &wanted)
{
    const QString partial = directory + QStringLiteral("/partial");
    disk.removeFile(partial); // a killed run's
    CopyOutcome outcome = disk.copyToNew(wanted.masterPath, partial, wanted.master, &bytesRead,
                                         [this] { return keepGoing(); });
    if (outcome.error.failed())
        return false;
    const FileError error = disk.finishCopy(&outcome);
    const FileEntry after = disk.fileEntry(wanted.masterPath);
    const QString path = PrefetchIndex::filesOf(settings.target) + QLatin1Char('/') + wanted.path;
    if (error.failed() || after.error.failed() || !(PrefetchIndex::Seen::of(after) == PrefetchIndex::Seen::of(wanted.master))
        || !makeParents(path) || disk.replaceFile(partial, path).failed()) {
        disk.removeFile(partial);
        return false;
    }
    const FileEntry kept = disk.fileEntry(path);
    index.entries.insert(wanted.path, PrefetchIndex::Entry{ wanted.path, PrefetchIndex::Seen::of(wanted.master),
                                                            PrefetchIndex::Seen::of(after), disk.identity(path),
                                                            kept.size, kept.mtimeNs, kept.mode });
    return true;
}

bool Prefetch::makeParents(const QString &path)
{
    const QString files = PrefetchIndex::filesOf(settings.target);
    QString at = files;
    const QStringList names = path.mid(files.size() + 1).split(QLatin1Char('/'));
    for (int i = 0; i < names.size(); ++i) {
        if (disk.makeOwnDirectory(at).failed())
            return false;
        at += QLatin1Char('/') + names[i];
    }
    return true;
}

// Between files and the pieces of a copy: false once a starter wants the
// target; else waits as long as the cap on reading asks.
bool Prefetch::keepGoing()
{
    for (;;) {
        if (steppedAside)
            return false;
        if (!looked.isValid() || looked.elapsed() >= lookEveryMs) {
            looked.start();
            steppedAside = clickWaits();
            continue;
        }
        const qint64 dueMs = settings.bytesPerSecond > 0
                                 ? bytesRead.loadAcquire() * 1000 / settings.bytesPerSecond - started.elapsed()
                                 : 0;
        if (dueMs <= 0)
            return true;
        QThread::msleep(ulong(qMin(dueMs, lookEveryMs / 2)));
    }
}

// A starter holds the update lock, or a cut-short update's record is there.
bool Prefetch::clickWaits()
{
    return updateLock.isHeldElsewhere();
}

// Only what an update would take now stays: the rest of the index, the
// files no index names (a killed run's), the partial copy.
void Prefetch::removeUnwanted(const QVector<Wanted> &wanted)
{
    QSet<QString> paths;
    for (const Wanted &file : wanted)
        paths.insert(file.path);
    for (auto it = index.entries.begin(); it != index.entries.end();) {
        if (paths.contains(it.key()))
            ++it;
        else
            it = index.entries.erase(it);
    }
    removeTree(disk, PrefetchIndex::filesOf(settings.target), &index, QString());
    disk.removeFile(directory + QStringLiteral("/partial"));
}

// Every file below directory that keep does not name (all, without keep),
// and every directory left empty.
void Prefetch::removeTree(Disk &disk, const QString &directory, const PrefetchIndex *keep, const QString &relative)
{
    for (const FileEntry &entry : disk.listDirectory(directory).entries) {
        const QString path = directory + QLatin1Char('/') + entry.name;
        const QString name = relative.isEmpty() ? entry.name : relative + QLatin1Char('/') + entry.name;
        if (entry.isDir && !disk.isLink(path)) {
            removeTree(disk, path, keep, name);
            disk.removeDirectory(path);
        } else if (!keep || !keep->entries.contains(name) || entry.isDir) {
            disk.removeFile(path);
        }
    }
}

void Prefetch::clear(const QString &target, Disk &disk, LockFiles &lockFiles)
{
    const QString directory = PrefetchIndex::directoryOf(target);
    if (disk.identity(directory).second == 0)
        return;
    qintptr handle = -1;
    FileError error;
    for (int tries = 0;; ++tries) {
        const LockResult taken = lockFiles.takeOwn(directory + QStringLiteral("/lock"), &handle, &error);
        if (taken == LockResult::Taken)
            break;
        if ((taken != LockResult::Held && taken != LockResult::Changed) || tries >= 15)
            return; // not this user's to clear, or a prefetch that does not step aside
        QThread::msleep(100);
    }
    removeTree(disk, directory, nullptr, QString());
    lockFiles.release(handle, QByteArray());
    disk.removeDirectory(directory);
}
