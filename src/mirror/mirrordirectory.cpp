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
#include <QFileInfo>
#include <QThread>

namespace {

// Passes that find the master changed while nothing in it looks freshly
// written: the copying pass and up to three verifying passes. A master still
// changing after them is left for the next start.
const int maxPasses = 4;
// A master with an entry written this recently may be in the middle of
// being copied onto: the check file waits for it to come to rest.
const qint64 freshNs = Q_INT64_C(3000000000);
// How long the master must stay still before a verifying pass ...
const qint64 quietNs = Q_INT64_C(1000000000);
// ... and how long, in all, a release being copied is waited for.
const qint64 maxWaitMs = 30000;

qint64 nowNs()
{
    return QDateTime::currentMSecsSinceEpoch() * 1000000;
}

// Puts the check file in place, with everything before it already on disk.
int placeCheckFile(const QString &source, const QString &destination, const QString &checkFile,
                   TemporaryNames &names, const Comparison &comparison, BusyRetry &retry, MirrorSummary *summary)
{
    const QString clean = QDir::cleanPath(checkFile);
    const QString from = source + QLatin1Char('/') + clean;
    const QString to = destination + QLatin1Char('/') + clean;
    const FileEntry master = fileops::fileEntry(from);
    if (!master.error.isEmpty() || !master.isFile) {
        reportFailure("cannot read", from, master.isDir || master.error.isEmpty() ? fileops::notRegularFileError()
                                                                                  : master.error);
        return 1;
    }
    const FileEntry target = fileops::fileEntry(to);
    if (!comparison.needsCopy(master, target.error.isEmpty() ? &target : nullptr, to))
        return 0;

    const QString directory = to.section(QLatin1Char('/'), 0, -2);
    const QString temporary = names.in(directory);
    const QString aside = names.in(directory);
    QAtomicInteger<qint64> bytes;
    CopyOutcome outcome;
    QString error = retry.run([&] {
        outcome = fileops::copyToNew(from, temporary, master, true, &bytes);
        return outcome.error;
    });
    if (error.isEmpty()) {
        error = retry.run([&] { return fileops::replaceFile(temporary, to, aside); });
        if (!error.isEmpty())
            fileops::removeFile(temporary);
    }
    if (error.isEmpty())
        error = fileops::syncDirectory(directory);
    if (error.isEmpty()) {
        ++summary->copied;
        summary->bytes += master.size;
        return 0;
    }
    reportFailure(outcome.readingFailed ? "cannot read" : "cannot update", outcome.readingFailed ? from : to, error);
    return 1;
}

} // namespace

int mirrorDirectory(const QString &source, const QString &destination, const QString &checkFile,
                    MirrorSummary *summary)
{
    MirrorSummary done;
    if (!summary)
        summary = &done;
    if (!QFileInfo(source).isDir())
        return 0;

    TemporaryNames names;
    ProgressLine progress;
    Comparison comparison;
    BusyRetry retry;
    // A target that keeps no permissions (FAT, exFAT) is not compared by them.
    if (QFileInfo(destination).isDir() && !fileops::keepsPermissions(names.in(destination)))
        comparison.ignorePermissionsOn(fileops::identity(destination).first);

    QSet<QString> changedDirs;
    QElapsedTimer waiting;
    qint64 quietFrom = -1; // when the last quiet interval began
    int failures = 0;
    bool settled = false;
    for (int changingPasses = 0; failures == 0;) {
        Copier copier(names, progress, comparison, retry);
        TreeWalk walk(checkFile, names, comparison, copier);
        walk.run(source, destination);
        copier.finish();
        failures = copier.failures();
        changedDirs += copier.changedDirectories();
        summary->copied += copier.copied();
        summary->bytes += copier.copiedBytes();

        // A release copied onto the master file by file, the check file
        // among the first, must not be taken for complete in a pause of the
        // copy: the master is at rest when nothing in it changed lately, or
        // nothing since the last quiet interval began.
        const qint64 newest = walk.newestChangeNs();
        const bool fresh = !checkFile.isEmpty() && nowNs() - newest < freshNs;
        if (copier.copied() == 0 && (!fresh || newest < quietFrom)) {
            settled = true;
            break;
        }
        if (fresh) {
            if (!waiting.isValid())
                waiting.start();
            if (waiting.elapsed() >= maxWaitMs)
                break;
            quietFrom = nowNs();
            const qint64 rest = quietNs - (quietFrom - newest);
            if (rest > 0) {
                progress.show(QStringLiteral("the master copy is being written, waiting for it to finish"), true);
                QThread::msleep(ulong(rest / 1000000));
            }
        } else if (++changingPasses >= maxPasses) {
            break;
        }
    }
    if (settled && failures == 0 && !checkFile.isEmpty()) {
        // Every copy and new directory is on disk before the check file says so.
        failures += syncDirectories(changedDirs);
        if (failures == 0)
            failures += placeCheckFile(source, destination, checkFile, names, comparison, retry, summary);
    }
    summary->settled = settled;
    progress.erase();
    return failures;
}
