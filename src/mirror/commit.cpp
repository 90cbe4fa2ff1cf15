#include "mirror/commit.h"

#include "mirror/busyretry.h"
#include "mirror/commitrecord.h"
#include "mirror/disk.h"
#include "mirror/progressline.h"
#include "mirror/report.h"
#include "mirror/staged.h"
#include "mirror/temporarynames.h"

#include <QStringList>

#include <algorithm>
#include <vector>

Commit::Commit(const QString &target, Disk &disk, TemporaryNames &names, const Report &report,
               ProgressLine &progress)
    : targetDir(target), recordPath(target + QLatin1Char('/') + QLatin1String(CommitRecord::fileName)), disk(disk),
      names(names), report(report), progress(progress)
{
}

Commit::Result Commit::run(StagedFiles &tree, StagedFiles &checkFile, const QSet<QString> &grown,
                           const QVector<QPair<QString, Identity>> &made)
{
    result = Result();
    this->tree = &tree;
    this->checkFile = &checkFile;
    placing.clear();
    for (int i = 0; i < tree.size(); ++i)
        placing.emplace_back(i);
    firstKept = names.take(tree.size());
    checkAside = names.take();
    if (!writeRecord(made)) { // without it, a kill could leave what no start settles
        tree.discard();
        checkFile.discard();
        result.stayedIn = -1;
        return result;
    }
    keepOldVersions();
    QSet<QString> changed = grown;
    bool complete = putIn();
    for (const QString &directory : tree.directoryPaths())
        changed.insert(directory);
    complete = complete && syncDirectories(changed);
    const bool checkFileStaged = checkFile.size() > 0;
    if (complete && checkFileStaged)
        complete = putCheckFileIn();
    if (!complete)
        takeAllBackOut(changed);
    result.complete = complete;
    // Until the check file is known to be on disk, the old versions stay.
    settle(complete && !result.checkFileDurable);
    // What is left unsettled, the next start settles from the record.
    if (complete ? result.checkFileDurable : result.stayedIn == 0 && result.keptHidden == 0)
        disk.removeFile(recordPath);
    if (checkFileStaged && (placing.empty() || placing.back().file != tree.size()))
        checkFile.discard(); // never tried
    tree.clear();
    checkFile.clear();
    return result;
}

// The check file in by one rename: it needs no second name, nothing comes
// after it. Whether it went in.
bool Commit::putCheckFileIn()
{
    placing.emplace_back(tree->size());
    BusyRetry retry;
    Placing &check = placing.back();
    check.setError(putInPlace(&check, checkFile->temporaryOf(0), retry));
    sayLines();
    if (check.error().failed())
        failure("cannot update", target(check), check.error());
    const bool in = !check.error().failed();
    result.checkFileDurable = !in || syncDirectories(QSet<QString>() << checkFile->directoryOf(0));
    return in;
}

// A place's file: one of the tree's copies, or after them the check file.
const StagedFiles &Commit::listOf(const Placing &place, int *index) const
{
    const bool inTree = place.file < tree->size();
    *index = inTree ? place.file : place.file - tree->size();
    return inTree ? *tree : *checkFile;
}

QString Commit::target(const Placing &place) const
{
    int index;
    return listOf(place, &index).targetOf(index);
}

QString Commit::directoryOf(const Placing &place) const
{
    int index;
    return listOf(place, &index).directoryOf(index);
}

QString Commit::kept(const Placing &place) const
{
    return names.at(directoryOf(place), firstKept + quint64(place.file));
}

// What recovery needs to tell old from new, on disk before the first step.
bool Commit::writeRecord(const QVector<QPair<QString, Identity>> &made)
{
    CommitRecord head;
    head.prefix = names.prefixText();
    const int top = targetDir.size() + 1;
    for (const auto &directory : made) {
        if (directory.first.startsWith(targetDir + QLatin1Char('/')))
            head.made << directory.first.mid(top);
    }
    if (checkFile->size() > 0) {
        const StagedFiles::File &staged = checkFile->at(0);
        const QString installed = checkFile->targetOf(0);
        const FileEntry old = disk.fileEntry(installed);
        head.hasCheck = true;
        head.checkOldSize = old.error.failed() ? -1 : old.size;
        head.check = CommitRecord::File{ installed.mid(top), staged.temporary, checkAside, staged.replacing,
                                         disk.identity(installed), staged.size, staged.mtimeNs, staged.mode };
    }
    // The old files' identities side by side; each line is made as it is written.
    std::vector<Identity> olds; // none where nothing is replaced (a first installation)
    for (int i = 0; i < tree->size(); ++i) {
        if (!tree->at(i).replacing)
            continue;
        if (olds.empty()) // before any worker writes into it
            olds.resize(size_t(tree->size()));
        workers.runBounded([this, &olds, i] { olds[size_t(i)] = disk.identity(tree->targetOf(i)); }, mostAtOnce);
    }
    workers.wait();
    CommitRecordWriter writer(head, tree->size(), [&](int i) {
        const StagedFiles::File &staged = tree->at(i);
        return CommitRecord::File{ tree->targetOf(i).mid(top), staged.temporary, firstKept + quint64(i),
                                   staged.replacing, olds.empty() ? Identity(0, 0) : olds[size_t(i)], staged.size,
                                   staged.mtimeNs, staged.mode };
    });
    FileError error = disk.writeOwnFile(recordPath, [&writer] { return writer.next(); });
    if (!error.failed())
        error = disk.syncDirectory(targetDir);
    if (error.failed())
        failure("cannot update", recordPath, error);
    return !error.failed();
}

// Every old file a second name, side by side.
void Commit::keepOldVersions()
{
    for (Placing &place : placing) {
        if (!tree->at(place.file).replacing)
            continue;
        place.kept = true;
        Placing *work = &place;
        workers.runBounded([this, work] { work->linked = !disk.keepOld(target(*work), kept(*work)).failed(); },
                           mostAtOnce);
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
            if (work->kept && !work->linked) { // no second link: moved to that name right before
                work->setError(busy->run([&] { return disk.moveAside(target(*work), kept(*work)); }));
                if (work->error().failed()) {
                    work->kept = false;
                    return;
                }
                work->changed = true;
            }
            work->setError(putInPlace(work, tree->temporaryOf(work->file), *busy));
        }, mostAtOnce);
    }
    workers.wait();
    std::vector<const Placing *> failed; // reported in the order of their paths
    for (const Placing &place : placing) {
        if (place.error().failed())
            failed.push_back(&place);
    }
    std::sort(failed.begin(), failed.end(),
              [this](const Placing *a, const Placing *b) { return target(*a) < target(*b); });
    for (const Placing *place : failed)
        failure("cannot update", target(*place), place->error());
    sayLines();
    return failed.empty();
}

// Puts from in place of the target; a file in the way that refuses to be
// replaced (in use, or read-only, on Windows) is moved aside to let it in,
// and put back where the new one still cannot go in.
FileError Commit::putInPlace(Placing *place, const QString &from, BusyRetry &retry)
{
    const QString target = this->target(*place);
    const QString directory = directoryOf(*place);
    const FileError error = retry.run([&] {
        FileError done = disk.replaceFile(from, target);
        if (done.failed() && place->aside() == Placing::none && disk.fileEntry(target).isFile) {
            // The check file's name is in the record: a start after a kill puts it back.
            const quint64 aside = place->file == tree->size() ? checkAside : names.take();
            if (!disk.moveAside(target, names.at(directory, aside)).failed()) {
                place->setAside(qint64(aside));
                done = disk.replaceFile(from, target);
            }
        }
        return done;
    });
    if (!error.failed()) {
        place->in = true;
        place->changed = true;
        return error;
    }
    if (place->aside() != Placing::none) {
        const QString aside = names.at(directory, quint64(place->aside()));
        const FileError back = retry.run([&] { return disk.replaceFile(aside, target); });
        if (!back.failed()) {
            place->setAside(Placing::none);
        } else if (place->kept) { // its second name puts it back
            place->changed = true;
            place->in = false; // what went in is aside now
        } else {
            place->setLine(QStringLiteral("cannot put back %1: %2; its old version is kept as %3")
                               .arg(shownPath(target), back.words(), shownPath(aside)));
            place->setAside(Placing::none); // it stays
            place->setKeepKept();
        }
    }
    return error;
}

bool Commit::syncDirectories(const QSet<QString> &directories)
{
    struct Synced
    {
        QString directory;
        FileError error;
    };
    QStringList sorted = directories.values(); // failures in a stable order
    sorted.sort();
    std::vector<Synced> synced;
    for (const QString &directory : sorted)
        synced.push_back(Synced{ directory, FileError() });
    for (Synced &one : synced) {
        Synced *work = &one;
        Disk *files = &disk;
        if (synced.size() == 1) // the check file's: no thread needed
            work->error = files->syncDirectory(work->directory);
        else
            workers.run([work, files] { work->error = files->syncDirectory(work->directory); });
    }
    workers.wait();
    bool all = true;
    for (const Synced &one : synced) {
        if (one.error.failed()) {
            failure("cannot update", one.directory, one.error);
            all = false;
        }
    }
    return all;
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

void Commit::failure(const char *what, const QString &path, const FileError &reason)
{
    progress.erase();
    report.failure(what, path, reason);
    ++result.failures;
    refused = refused || disk.refusesThisUser(path, reason);
}
