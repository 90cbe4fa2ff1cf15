#include "mirror/commit.h"

#include "mirror/busyretry.h"
#include "mirror/disk.h"
#include "mirror/report.h"
#include "mirror/staged.h"
#include "mirror/temporarynames.h"

// The commit's undo, and what it leaves: every file that went in is taken
// back out where a step failed (its old version back from its second name,
// a new file removed), and whatever hidden names are left go once every file
// is settled. Each meets one of these, and says so where it cannot do its
// part:
// - a file that went in, whose old version has a second name: put back;
// - one whose old version was moved aside to let it in: put back from there;
// - a new file: removed;
// - a second name, a name moved aside, a copy that did not go in: removed,
//   once nothing may need it (old versions stay until the check file is
//   known to be on disk);
// - a file still in use that refuses: stays, named on a line, for a later
//   start to settle from the commit's record.

// Everything that went in out again, on disk before the second names go,
// and what an administrator can mend said.
void Commit::takeAllBackOut(const QSet<QString> &changed)
{
    takeBackOut();
    for (const QString &directory : changed)
        disk.syncDirectory(directory);
    if (refused)
        report.line(QStringLiteral("this user may not replace some files of %1 (another user's, or protected): a "
                                   "shared installation needs every user who starts it allowed to replace and "
                                   "remove its files; the next start tries again")
                        .arg(shownPath(targetDir)));
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
            const QString target = this->target(*work);
            if (!work->kept) { // a new file
                const FileError error = busy->run([&] { return disk.removeFile(target); });
                if (!error.failed())
                    work->in = false;
                else
                    work->setLine(QStringLiteral("cannot take back out %1: %2; it stays in, new")
                                      .arg(shownPath(target), error.words()));
                return;
            }
            // A name the old version got as it was moved aside to let the
            // new one in is one more name of it; the put-back may need one
            // of its own for the new file.
            work->setExtra(work->aside());
            work->setAside(Placing::none);
            const QString old = kept(*work);
            const FileError error = putInPlace(work, old, *busy);
            if (!error.failed()) {
                work->kept = false; // it is in place again
                work->in = false;
                work->changed = false;
            } else {
                work->setLine(QStringLiteral("cannot put back %1: %2; its old version is kept as %3")
                                  .arg(shownPath(target), error.words(), shownPath(old)));
                work->setKeepKept();
            }
        }, mostAtOnce);
    }
    workers.wait();
    for (const Placing &place : placing) {
        result.stayedIn += place.in ? 1 : 0;
        result.keptHidden += place.keepKept() ? 1 : 0;
    }
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
            int index;
            result.bytes += listOf(place, &index).at(index).size;
        }
        const bool oldNames = !keepOldVersions && ((place.kept && !place.keepKept())
                                                   || place.aside() != Placing::none);
        if (!oldNames && place.extra() == Placing::none && place.in)
            continue; // nothing of it left to remove: most files of an update that went in
        const Placing *work = &place;
        Disk *files = &disk;
        workers.runBounded([this, work, files, oldNames] {
            const QString directory = directoryOf(*work);
            if (oldNames && work->kept && !work->keepKept())
                files->removeFile(kept(*work));
            if (oldNames && work->aside() != Placing::none)
                files->removeFile(names.at(directory, quint64(work->aside())));
            if (work->extra() != Placing::none)
                files->removeFile(names.at(directory, quint64(work->extra())));
            if (!work->in) {
                int index;
                files->removeFile(listOf(*work, &index).temporaryOf(index));
            }
        }, mostAtOnce);
    }
    workers.wait();
}
