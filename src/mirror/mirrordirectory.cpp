#include "mirror/mirrordirectory.h"

#include "mirror/busyretry.h"
#include "mirror/comparison.h"
#include "mirror/copier.h"
#include "mirror/fileops.h"
#include "mirror/progressline.h"
#include "mirror/report.h"
#include "mirror/temporarynames.h"
#include "mirror/treewalk.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace {

// Passes that find the master changed while nothing in it looks freshly
// written: the copying pass and up to three verifying passes. A master still
// changing after them is left for the next start.
const int maxPasses = 4;
// A master with an entry written less than this before this clock's now,
// or after it (the file server's clock may differ from ours by minutes), may
// be in the middle of being copied onto: it must be seen at rest twice,
// a quiet second apart, before the check file goes in.
const qint64 freshNs = Q_INT64_C(60000000000);
const qint64 quietMs = 1000;
// How long, in all, a release being copied is waited for.
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

// One update: passes over the master until it is at rest, then everything
// in place at once, the check file last.
class Update
{
public:
    Update(const QString &master, const QString &target, const MirrorOptions &options, const Report &report)
        : master(master), target(target), options(options), report(report),
          copier(names, progress, comparison, retry, report), last(names, progress, comparison, retry, report)
    {
        // A target that keeps no permissions (FAT, exFAT) is not compared by them.
        if (QFileInfo(target).isDir() && !fileops::keepsPermissions(names.in(target)))
            comparison.ignorePermissionsOn(fileops::identity(target).first);
    }

    MirrorSummary::Ending run()
    {
        const MirrorSummary::Ending ending = bringToRest();
        if (ending != MirrorSummary::Complete)
            return ending; // the copies waiting go with the copiers
        return placeEverything();
    }

    int failures() const { return copier.failures() + last.failures() + syncFailures; }
    int placed() const { return copier.placed() + last.placed(); }
    qint64 placedBytes() const { return copier.placedBytes() + last.placedBytes(); }
    ~Update() { progress.erase(); }

private:
    // Copies what differs, then looks again until two looks agree and the
    // check file's copy is the master's.
    MirrorSummary::Ending bringToRest()
    {
        for (int passes = 1;; ++passes) {
            if (!pass())
                return MirrorSummary::Incomplete;
            const bool fresh = !options.checkFile.isEmpty() && mayBeFresh(newest);
            // Nothing left to copy, and the master as the last look saw it
            // (or, where nothing in it is fresh, as this one does).
            if (copiedLastPass == 0 && (passes > 1 ? look == previousLook : !fresh)) {
                if (!stageCheckFile())
                    return MirrorSummary::Incomplete;
                if (!fresh || checkFileHeldStill())
                    return MirrorSummary::Complete;
                look.clear(); // still being written: look again
            }
            if (!fresh ? passes >= maxPasses : !waitQuietly(passEnded, quietMs))
                return MirrorSummary::MasterChanging;
        }
    }

    bool pass()
    {
        TreeWalk walk(options, names, comparison, copier);
        const int before = copier.copiesMade();
        walk.run(master, target);
        copier.finish();
        passEnded.start();
        copiedLastPass = copier.copiesMade() - before;
        previousLook = look;
        look = walk.look();
        newest = walk.newestChangeNs();
        return copier.failures() == 0;
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
        checkMaster = master + QLatin1Char('/') + clean;
        checkTarget = target + QLatin1Char('/') + clean;
        const FileEntry entry = fileops::fileEntry(checkMaster);
        if (!entry.error.isEmpty() || !entry.isFile) {
            report.failure("cannot read", checkMaster,
                          entry.isDir || entry.error.isEmpty() ? fileops::notRegularFileError() : entry.error);
            return false;
        }
        const FileEntry targetEntry = fileops::fileEntry(checkTarget);
        if (comparison.needsCopy(entry, targetEntry.error.isEmpty() ? &targetEntry : nullptr, checkTarget))
            last.copy(checkMaster, checkTarget, entry, targetEntry.error.isEmpty());
        last.finish();
        copied.start();
        return last.failures() == 0;
    }

    // A share may show file details seconds old, but reads data afresh: the
    // check file's copy is the master's only if the master still holds the
    // same bytes a quiet second after the copy read them.
    bool checkFileHeldStill()
    {
        const QString copy = last.temporaryOf(checkTarget);
        if (copy.isEmpty())
            return true;
        return waitQuietly(copied, quietMs) && sameContents(checkMaster, copy);
    }

    // All copies into place, on disk, then the check file.
    MirrorSummary::Ending placeEverything()
    {
        if (copier.commit() > 0)
            return MirrorSummary::Incomplete;
        syncFailures = syncDirectories(copier.changedDirectories(), report);
        if (syncFailures > 0 || last.commit() > 0)
            return MirrorSummary::Incomplete;
        syncFailures = syncDirectories(last.changedDirectories(), report);
        return syncFailures > 0 ? MirrorSummary::CheckFileNotDurable : MirrorSummary::Complete;
    }

    const QString master, target;
    const MirrorOptions options;
    const Report &report;
    TemporaryNames names;
    ProgressLine progress;
    Comparison comparison;
    BusyRetry retry;
    Copier copier; // the tree
    Copier last;   // the check file
    QString checkMaster, checkTarget;
    QByteArray look, previousLook;
    qint64 newest = 0;
    int copiedLastPass = 0;
    int syncFailures = 0;
    QElapsedTimer passEnded, copied, waited;
};

} // namespace

int mirrorDirectory(const QString &master, const QString &target, const MirrorOptions &options,
                    MirrorSummary *summary)
{
    if (!QFileInfo(master).isDir())
        return 0;
    const Report standardError;
    Update update(master, target, options, options.report ? *options.report : standardError);
    const MirrorSummary::Ending ending = update.run();
    if (summary) {
        summary->ending = ending;
        summary->copied = update.placed();
        summary->bytes = update.placedBytes();
    }
    return update.failures();
}
