#include "mirror/mirrordirectory.h"

#include "mirror/busyretry.h"
#include "mirror/commit.h"
#include "mirror/commitrecord.h"
#include "mirror/comparison.h"
#include "mirror/disk.h"
#include "mirror/plan.h"
#include "mirror/prefetched.h"
#include "mirror/progressline.h"
#include "mirror/report.h"
#include "mirror/stage.h"
#include "mirror/staged.h"
#include "mirror/temporarynames.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace {

// A master with an entry written less than this before this clock's now,
// or after it (the file server's clock may differ from ours by minutes), may
// be in the middle of being copied onto: it must be seen at rest twice,
// a quiet second apart, before the check file goes in. So must one seen
// changing, whatever its times say: a copy that keeps old times, or a share
// that shows no change time of its own, hides the writing from them.
const qint64 freshNs = Q_INT64_C(60000000000);
const qint64 quietMs = 1000;
// How long, in all, a release being copied is waited for: it, not a count
// of looks, decides when a master still changing is left for the next start.
const qint64 maxWaitMs = 30000;

bool mayBeFresh(qint64 newestNs)
{
    return QDateTime::currentMSecsSinceEpoch() * 1000000 - newestNs < freshNs;
}

// Whether two files hold the same bytes.
bool sameContents(const QString &a, const QString &b)
{
    QFile one(a), other(b);
    if (!one.open(QIODevice::ReadOnly) || !other.open(QIODevice::ReadOnly) || one.size() != other.size())
        return false;
    while (!one.atEnd()) {
        const QByteArray chunk = one.read(1 << 20);
        if (chunk.isEmpty() || chunk != other.read(chunk.size()))
            return false;
    }
    return true;
}

// One update: passes over the master until it is at rest, each planning
// and staging what differs, then everything in place at once, the check
// file last.
class Update
{
public:
    Update(const QString &master, const QString &target, const MirrorOptions &options, const Report &report)
        : master(master), target(target), options(options), report(report),
          disk(options.disk ? *options.disk : SystemDisk::instance()), prefetched(target, disk), tree(names, disk),
          last(names, disk), stage(target, disk, names, tree, progress, comparison, retry, report),
          lastStage(target, disk, names, last, progress, comparison, retry, report)
    {
        stage.takeFrom(&prefetched); // never the check file's copy: that is always the master's
        // A target that keeps no permissions (FAT, exFAT) is not compared by them.
        if (QFileInfo(target).isDir() && !disk.keepsPermissions(names.in(target)))
            comparison.ignorePermissionsOn(disk.identity(target).first);
    }
    ~Update() { progress.erase(); }

    MirrorSummary run(int *failures)
    {
        MirrorSummary summary;
        summary.ending = bringToRest();
        if (summary.ending == MirrorSummary::Complete)
            summary.ending = placeEverything(&summary);
        // Nothing went in, or it was taken back out: the staged copies go
        // before the directories they wait in.
        if (summary.ending == MirrorSummary::Incomplete || summary.ending == MirrorSummary::MasterChanging) {
            tree.discard();
            last.discard();
            removeMadeDirectories();
        }
        *failures = stage.failures() + lastStage.failures() + commitFailures + (checkFileOwn ? 1 : 0);
        return summary;
    }

private:
    // Plans and stages what differs, then looks again until two looks agree
    // and the check file's copy is the master's.
    MirrorSummary::Ending bringToRest()
    {
        bool written = false; // the master looked fresh, or changed between two looks
        for (int passes = 1;; ++passes) {
            if (!pass())
                return MirrorSummary::Incomplete;
            // Once written, always so: a time put back makes the master no
            // less one being copied onto.
            written = written || (!options.checkFile.isEmpty() && mayBeFresh(newest))
                      || (passes > 1 && (look != previousLook || copiedLastPass > 0));
            // Nothing left to copy, and the master as the last look saw it
            // (or, where nothing in it is fresh, as this one does).
            if (copiedLastPass == 0 && (passes > 1 ? look == previousLook : !written)) {
                if (!stageCheckFile())
                    return MirrorSummary::Incomplete;
                if (!written || checkFileHeldStill())
                    return MirrorSummary::Complete;
                look.clear(); // still being written: look again
            }
            // A master at rest by its times is looked at a second time at once.
            if (!waitQuietly(passEnded, written ? quietMs : 0))
                return MirrorSummary::MasterChanging;
        }
    }

    bool pass()
    {
        Plan plan(options, disk, names, comparison, tree);
        const int before = stage.copiesMade();
        plan.run(master, target, [this](const DirectoryPlan &directory) { stage.add(directory); });
        stage.finish();
        passEnded.start();
        grown += plan.grownDirectories();
        made += plan.madeDirectories();
        copiedLastPass = stage.copiesMade() - before;
        previousLook = look;
        look = plan.look();
        newest = plan.newestChangeNs();
        return stage.failures() == 0;
    }

    // Waits until ms after since, within the time a release is waited for in
    // all; false when that is spent.
    bool waitQuietly(const QElapsedTimer &since, qint64 ms)
    {
        if (!waited.isValid())
            waited.start();
        if (waited.elapsed() >= maxWaitMs)
            return false;
        const qint64 rest = ms - since.elapsed();
        if (rest > 0) {
            progress.show(QStringLiteral("the master copy is being written, waiting for it to finish"), true);
            QThread::msleep(ulong(rest));
        }
        return true;
    }

    bool stageCheckFile()
    {
        last.discard();
        if (options.checkFile.isEmpty())
            return true;
        const QString clean = QDir::cleanPath(options.checkFile);
        const QString checkTarget = target + QLatin1Char('/') + clean;
        // Named as the check file or not, the workstation's own file stays
        // its own: the rest of the tree goes in without it.
        const int slash = clean.lastIndexOf(QLatin1Char('/'));
        checkFileOwn = Plan::isOwnFile(options, clean.left(qMax(slash, 0)), clean.mid(slash + 1));
        if (checkFileOwn) {
            report.failure("cannot update", checkTarget,
                           QStringLiteral("the workstation's own file, never copied from the master"));
            return true;
        }
        checkMaster = master + QLatin1Char('/') + clean;
        const FileEntry entry = disk.fileEntry(checkMaster);
        if (entry.error.failed() || !entry.isFile) {
            report.failure("cannot read", checkMaster,
                           entry.isDir || !entry.error.failed() ? FileError::notRegularFile() : entry.error);
            return false;
        }
        DirectoryPlan plan;
        plan.master = checkMaster.section(QLatin1Char('/'), 0, -2);
        plan.target = checkTarget.section(QLatin1Char('/'), 0, -2);
        const FileEntry targetEntry = disk.fileEntry(checkTarget);
        const bool installed = !targetEntry.error.failed();
        if (comparison.needsCopy(entry, installed ? &targetEntry : nullptr, checkTarget))
            plan.copies.append(DirectoryPlan::Copy{ entry, installed, -1 });
        lastStage.add(plan);
        lastStage.finish();
        copied.start();
        return lastStage.failures() == 0;
    }

    // A share may show file details seconds old, but reads data afresh: the
    // check file's copy is the master's only if the master still holds the
    // same bytes a quiet second after the copy read them.
    bool checkFileHeldStill()
    {
        if (last.size() == 0)
            return true;
        return waitQuietly(copied, quietMs) && sameContents(checkMaster, last.temporaryOf(0));
    }

    // An update that did not go in leaves no directory of its own behind:
    // deepest first, each only while it is the one made and empty (another
    // program may have put something in it, and rmdir leaves that be).
    void removeMadeDirectories()
    {
        for (auto it = made.crbegin(); it != made.crend(); ++it) {
            if (disk.identity(it->first) == it->second)
                disk.removeDirectory(it->first);
        }
    }

    // All copies into place, on disk, then the check file: all or nothing.
    MirrorSummary::Ending placeEverything(MirrorSummary *summary)
    {
        Commit commit(target, disk, names, report, progress);
        const Commit::Result done = commit.run(tree, last, grown, made);
        commitFailures = done.failures;
        summary->copied = done.placed;
        summary->bytes = done.bytes;
        if (!done.complete) {
            summary->stayedIn = done.stayedIn;
            summary->keptHidden = done.keptHidden;
            return MirrorSummary::Incomplete;
        }
        if (checkFileOwn)
            return MirrorSummary::CheckFileNeverCopied;
        return done.checkFileDurable ? MirrorSummary::Complete : MirrorSummary::CheckFileNotDurable;
    }

    const QString master, target;
    const MirrorOptions options;
    const Report &report;
    Disk &disk;
    const Prefetched prefetched;
    TemporaryNames names;
    ProgressLine progress;
    Comparison comparison;
    BusyRetry retry;
    StagedFiles tree; // the copies of the tree
    StagedFiles last; // the check file's
    Stage stage;
    Stage lastStage;
    QSet<QString> grown;
    QVector<QPair<QString, Identity>> made; // directories, in the order they were made
    QString checkMaster;
    QByteArray look, previousLook;
    qint64 newest = 0;
    int copiedLastPass = 0;
    bool checkFileOwn = false; // the check file is never copied
    int commitFailures = 0;
    QElapsedTimer passEnded, copied, waited;
};

} // namespace

int mirrorDirectory(const QString &master, const QString &target, const MirrorOptions &options,
                    MirrorSummary *summary)
{
    if (!QFileInfo(master).isDir())
        return 0;
    const Report standardError;
    MirrorOptions own = options; // the commit's record is the target's own, never the master's
    own.ownFiles << QLatin1String(CommitRecord::fileName);
    Update update(master, target, own, options.report ? *options.report : standardError);
    int failures = 0;
    const MirrorSummary done = update.run(&failures);
    if (summary)
        *summary = done;
    return failures;
}
