#include "mirror/commit.h"

#include "mirror/busyretry.h"
#include "mirror/disk.h"
#include "mirror/progressline.h"
#include "mirror/report.h"
#include "mirror/staged.h"
#include "mirror/temporarynames.h"

#include <QStringList>

#include <algorithm>

namespace {

// Calls under way at once: a whole tree's would otherwise queue at once.
const int mostAtOnce = 512;

} // namespace

QString Commit::Placing::target() const
{
    return list->targetOf(file);
}

Commit::Commit(Disk &disk, TemporaryNames &names, const Report &report, ProgressLine &progress)
    : disk(disk), names(names), report(report), progress(progress)
{
}

Commit::Result Commit::run(StagedFiles &tree, StagedFiles &checkFile, const QSet<QString> &grown)
{
    result = Result();
    placing.clear();
    placing.reserve(size_t(tree.size()) + 1); // and the check file
    for (int i = 0; i < tree.size(); ++i)
        placing.emplace_back(&tree, i);
    keepOldVersions();
    QSet<QString> changed = grown;
    bool complete = putIn();
    for (const QString &directory : tree.directoryPaths())
        changed.insert(directory);
    complete = complete && syncDirectories(changed);
    const bool checkFileStaged = checkFile.size() > 0;
    if (complete && checkFileStaged) {
        // One rename: it needs no second name, nothing comes after it.
        placing.emplace_back(&checkFile, 0);
        BusyRetry retry;
        Placing &check = placing.back();
        check.setError(putIn(&check, checkFile.temporaryOf(0), retry));
        sayLines();
        if (!check.error().isEmpty())
            failure("cannot update", check.target(), check.error());
        complete = check.error().isEmpty();
        result.checkFileDurable = !complete || syncDirectories(QSet<QString>() << checkFile.directoryOf(0));
    }
    if (!complete) {
        takeBackOut();
        for (const QString &directory : changed) // the put-backs on disk before the second names go
            disk.syncDirectory(directory);
    }
    result.complete = complete;
    // Until the check file is known to be on disk, the old versions stay.
    settle(complete && !result.checkFileDurable);
    tree.clear();
    if (checkFileStaged && (placing.empty() || placing.back().list != &checkFile))
        checkFile.discard(); // never tried
    checkFile.clear();
    return result;
}

QString Commit::kept(const Placing &place) const
{
    return names.at(place.list->directoryOf(place.file), quint64(place.kept));
}

// Every old file a second name, side by side.
void Commit::keepOldVersions()
{
    for (Placing &place : placing) {
        if (!place.list->at(place.file).replacing)
            continue;
        place.kept = qint64(names.take());
        Placing *work = &place;
        Disk *files = &disk;
        const QString keptName = kept(place);
        workers.runBounded([work, files, keptName] {
            work->linked = files->keepOld(work->target(), keptName).error.isEmpty();
        }, mostAtOnce);
    }
    workers.wait();
}

// Every copy in place; false when one could not go in, each reported.
bool Commit::putIn()
{
    BusyRetry retry;
    for (Placing &place : placing) {
        Placing *work = &place;
        BusyRetry *busy = &retry;
        workers.runBounded([this, work, busy] {
            if (work->kept != Placing::none && !work->linked) { // no second link: moved to that name right before
                work->setError(busy->run([&] { return disk.moveAside(work->target(), kept(*work)); }));
                if (!work->error().isEmpty()) {
                    work->kept = Placing::none;
                    return;
                }
                work->changed = true;
            }
            work->setError(putIn(work, work->list->temporaryOf(work->file), *busy));
        }, mostAtOnce);
    }
    workers.wait();
    std::vector<const Placing *> failed; // reported in the order of their paths
    for (const Placing &place : placing) {
        if (!place.error().isEmpty())
            failed.push_back(&place);
    }
    std::sort(failed.begin(), failed.end(),
              [](const Placing *a, const Placing *b) { return a->target() < b->target(); });
    for (const Placing *place : failed)
        failure("cannot update", place->target(), place->error());
    sayLines();
    return failed.empty();
}

// Puts from in place of the target; a file in the way that refuses to be
// replaced (in use, or read-only, on Windows) is moved aside to let it in,
// and put back where the new one still cannot go in.
QString Commit::putIn(Placing *place, const QString &from, BusyRetry &retry)
{
    const QString target = place->target();
    const QString directory = place->list->directoryOf(place->file);
    const QString error = retry.run([&] {
        FileResult done = disk.replaceFile(from, target);
        if (!done.error.isEmpty() && place->aside() == Placing::none && fileops::fileEntry(target).isFile) {
            const quint64 aside = names.take();
            if (disk.moveAside(target, names.at(directory, aside)).error.isEmpty()) {
                place->setAside(qint64(aside));
                done = disk.replaceFile(from, target);
            }
        }
        return done;
    });
    if (error.isEmpty()) {
        place->in = true;
        place->changed = true;
        return error;
    }
    if (place->aside() != Placing::none) {
        const QString aside = names.at(directory, quint64(place->aside()));
        const QString back = retry.run([&] { return disk.replaceFile(aside, target); });
        if (back.isEmpty()) {
            place->setAside(Placing::none);
        } else if (place->kept != Placing::none) { // its second name puts it back
            place->changed = true;
            place->in = false; // what went in is aside now
        } else {
            place->setLine(QStringLiteral("cannot put back %1: %2; its old version is kept as %3")
                               .arg(shownPath(target), back, shownPath(aside)));
            place->setAside(Placing::none); // it stays
        }
    }
    return error;
}

bool Commit::syncDirectories(const QSet<QString> &directories)
{
    struct Synced
    {
        QString directory;
        QString error;
    };
    QStringList sorted = directories.values(); // failures in a stable order
    sorted.sort();
    std::vector<Synced> synced;
    for (const QString &directory : sorted)
        synced.push_back(Synced{ directory, QString() });
    for (Synced &one : synced) {
        Synced *work = &one;
        Disk *files = &disk;
        workers.run([work, files] { work->error = files->syncDirectory(work->directory); });
    }
    workers.wait();
    bool all = true;
    for (const Synced &one : synced) {
        if (!one.error.isEmpty()) {
            failure("cannot update", one.directory, one.error);
            all = false;
        }
    }
    return all;
}

// Every file that went in out again: its old version back from its second
// name, a new one removed. One that cannot be keeps its second name, and a
// line says so.
void Commit::takeBackOut()
{
    BusyRetry retry; // an allowance of its own
    for (Placing &place : placing) {
        if (!place.changed)
            continue;
        Placing *work = &place;
        BusyRetry *busy = &retry;
        workers.runBounded([this, work, busy] {
            const QString target = work->target();
            if (work->kept == Placing::none) { // a new file
                const QString error = busy->run([&] { return disk.removeFile(target); });
                if (error.isEmpty())
                    work->in = false;
                else
                    work->setLine(QStringLiteral("cannot take back out %1: %2; it stays in, new")
                                      .arg(shownPath(target), error));
                return;
            }
            // A name the old version got as it was moved aside to let the
            // new one in is one more name of it; the put-back may need one
            // of its own for the new file.
            work->setExtra(work->aside());
            work->setAside(Placing::none);
            const QString old = kept(*work);
            const QString error = putIn(work, old, *busy);
            if (error.isEmpty()) {
                work->kept = Placing::none; // it is in place again
                work->in = false;
                work->changed = false;
            } else {
                work->setLine(QStringLiteral("cannot put back %1: %2; its old version is kept as %3")
                                  .arg(shownPath(target), error, shownPath(old)));
                work->keepKept = true;
            }
        }, mostAtOnce);
    }
    workers.wait();
    for (const Placing &place : placing)
        result.stayedIn += place.in ? 1 : 0;
    sayLines();
}

// What is left of the update goes: the old versions' second names, names
// moved aside, copies that did not go in. A file still in use stays, for a
// later update to remove.
void Commit::settle(bool keepOldVersions)
{
    for (const Placing &place : placing) {
        if (place.in && result.complete) {
            ++result.placed;
            result.bytes += place.list->at(place.file).size;
        }
        const bool oldNames = !keepOldVersions && ((place.kept != Placing::none && !place.keepKept)
                                                   || place.aside() != Placing::none);
        if (!oldNames && place.extra() == Placing::none && place.in)
            continue; // nothing of it left to remove: most files of an update that went in
        const Placing *work = &place;
        Disk *files = &disk;
        workers.runBounded([this, work, files, oldNames] {
            const QString directory = work->list->directoryOf(work->file);
            if (oldNames && work->kept != Placing::none && !work->keepKept)
                files->removeFile(kept(*work));
            if (oldNames && work->aside() != Placing::none)
                files->removeFile(names.at(directory, quint64(work->aside())));
            if (work->extra() != Placing::none)
                files->removeFile(names.at(directory, quint64(work->extra())));
            if (!work->in)
                files->removeFile(work->list->temporaryOf(work->file));
        }, mostAtOnce);
    }
    workers.wait();
}

void Commit::sayLines()
{
    for (Placing &place : placing) {
        if (place.line().isEmpty())
            continue;
        progress.erase();
        report.line(place.line());
        place.setLine(QString());
        ++result.failures;
    }
}

void Commit::failure(const char *what, const QString &path, const QString &reason)
{
    progress.erase();
    report.failure(what, path, reason);
    ++result.failures;
}
