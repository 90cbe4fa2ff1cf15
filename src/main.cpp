#include "commandline.h"
#include "mirror/disk.h"
#include "mirror/mirrordirectory.h"
#include "mirror/recovery.h"
#include "mirror/report.h"
#include "prefetch.h"
#include "processes.h"
#include "updatelock.h"
#include "updatelog.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>

namespace {

// How an update ended, for its log.
QString closingLine(const MirrorSummary &summary, int failures, qint64 ms)
{
    const QString done = QStringLiteral("%1 files, %2 MB in %3 s")
                             .arg(summary.copied).arg(summary.bytes / 1e6, 0, 'f', 1).arg(ms / 1000.0, 0, 'f', 1);
    switch (summary.ending) {
    case MirrorSummary::Incomplete: {
        // What went in, where something had begun to, and what was not put back.
        QString wentIn;
        if (summary.stayedIn == 0 && summary.keptHidden == 0)
            wentIn = QStringLiteral("; all taken back out");
        else if (summary.stayedIn > 0)
            wentIn = QStringLiteral("; %1 files stayed in beside the old check file").arg(summary.stayedIn);
        if (summary.keptHidden > 0)
            wentIn += QStringLiteral("; %1 old versions kept under hidden names, put back by the next start")
                          .arg(summary.keptHidden);
        return QStringLiteral("update incomplete: %1; %2 failures, the next start tries again%3")
            .arg(done).arg(failures).arg(wentIn);
    }
    case MirrorSummary::MasterChanging:
        return QStringLiteral("master still changing: %1; the next start tries again").arg(done);
    case MirrorSummary::CheckFileNotDurable:
        return QStringLiteral("update in place, not known to be on disk: %1; the check file's directory could not be synced")
            .arg(done);
    case MirrorSummary::CheckFileNeverCopied:
        return QStringLiteral("update in place but for the check file, which is the workstation's own and never "
                              "copied: %1; the next start updates again").arg(done);
    case MirrorSummary::Complete:
        break;
    }
    return QStringLiteral("update complete: %1").arg(done);
}

// Starts the program, trying again for a moment: a program just written may
// be held by a virus scanner (or, on Linux, still open for writing), and a
// process can fail while it starts. The reason for the last failure, if any.
QString launch(const QString &program)
{
    const QStringList arguments = QStringList() << QString::fromUtf8("-m");
    QString error = startDetached(program, arguments);
    for (const int pauseMs : {100, 200, 400, 800, 1000}) {
        if (error.isEmpty())
            break;
        QThread::msleep(ulong(pauseMs));
        error = startDetached(program, arguments);
    }
    return error;
}

// The target's own files at its top, never copied over.
QStringList ownFiles()
{
    return QStringList() << QLatin1String(UpdateLog::fileName) << QLatin1String(UpdateLog::previousFileName)
                         << QLatin1String(UpdateLog::spareFileName);
}

// Whether the target needs an update; false also when there is nothing to
// update: no master, or nothing installed.
bool updateDue(const StarterSettings &settings, const QFileInfo &masterCheck, const QFileInfo &targetCheck,
               const Report &report, bool *installed)
{
    *installed = masterCheck.exists() && targetCheck.exists();
    if (masterCheck.exists() && !targetCheck.exists()) {
        // A check file in use is replaced by moving it aside first: a starter
        // clicked in that moment has found an update under way, not a missing
        // installation, and waits for it like any other.
        *installed = UpdateLock(settings.targetDir, report).isHeldElsewhere();
        return *installed;
    }
    return *installed && masterCheck.size() != targetCheck.size();
}

// A commit that a kill or a power cut cut short is finished or taken back
// out before anything else, by the starter that holds the lock; whether an
// update may begin (not while something of it is left unsettled).
bool settleCutShortUpdate(const StarterSettings &settings, const Report &report)
{
    UpdateLock lock(settings.targetDir, report);
    lock.acquire();
    if (!lock.isHeld())
        return false; // its line says why
    const Recovery::Outcome outcome = Recovery(settings.targetDir, SystemDisk::instance(), report).run();
    if (!outcome.line.isEmpty())
        report.line(outcome.line);
    return outcome.settled;
}

// Brings the target up to date, one starter at a time: a second one waits
// for the first, and finds the work done.
void update(const StarterSettings &settings, QFileInfo &masterCheck, QFileInfo &targetCheck, UpdateLog &log,
            const Report &report)
{
    puts("Synchronizuji program, cekejte prosim ...");
    fflush(stdout); // show it before a long copy, also when output is not a terminal
    log.write(QStringLiteral("update begins: master %1 (check file %2 bytes), target %3 (check file %4 bytes)")
                  .arg(shownPath(settings.masterDir)).arg(masterCheck.size())
                  .arg(shownPath(settings.targetDir)).arg(targetCheck.size()));
    UpdateLock lock(settings.targetDir, report);
    lock.acquire();
    if (!lock.isHeld())
        return; // its line says why; the installed program starts as it is
    masterCheck.refresh(); // another starter may have finished the work meanwhile
    targetCheck.refresh();
    if (targetCheck.exists() && masterCheck.size() == targetCheck.size()) {
        log.write(QStringLiteral("update done meanwhile by another starter"));
        return;
    }
    MirrorOptions options;
    options.checkFile = settings.checkFile;
    options.ownFiles = ownFiles();
    options.report = &report;
    QElapsedTimer timer;
    timer.start();
    MirrorSummary summary;
    const int failures = mirrorDirectory(settings.masterDir, settings.targetDir, options, &summary);
    // Every prefetched file is in, or no longer the master's.
    if (summary.ending == MirrorSummary::Complete || summary.ending == MirrorSummary::CheckFileNotDurable)
        Prefetch::clear(settings.targetDir, SystemDisk::instance(), SystemLockFiles::instance());
    log.write(closingLine(summary, failures, timer.elapsed()));
}

// A release fetched ahead, politely, without a word on the console: the
// log alone says what it did. The statuses are a click's where nothing was
// there to fetch for.
int prefetch(const StarterSettings &settings)
{
    lowerPriority();
    if (settings.prefetchDelayS > 0) { // an office started at once does not meet at the share
        std::random_device seed;
        std::uniform_int_distribution<int> ms(0, settings.prefetchDelayS * 1000);
        QThread::msleep(ulong(ms(seed)));
    }
    const QFileInfo masterCheck(settings.masterDir + QLatin1Char('/') + settings.checkFile);
    const QFileInfo targetCheck(settings.targetDir + QLatin1Char('/') + settings.checkFile);
    if (!masterCheck.exists() || !targetCheck.exists())
        return -1;
    if (masterCheck.size() == targetCheck.size())
        return 0;
    Prefetch::Settings what;
    what.master = settings.masterDir;
    what.target = settings.targetDir;
    what.checkFile = settings.checkFile;
    what.ownFiles = ownFiles();
    what.bytesPerSecond = settings.prefetchRateKBps * 1000;
    QElapsedTimer timer;
    timer.start();
    const Prefetch::Result result = Prefetch(what, SystemDisk::instance()).run();
    const QString done = QStringLiteral("%1 files, %2 MB in %3 s").arg(result.files)
                             .arg(result.bytes / 1e6, 0, 'f', 1).arg(timer.elapsed() / 1000.0, 0, 'f', 1);
    const QString failed = result.failed > 0 ? QStringLiteral("; %1 not fetched, left to the update").arg(result.failed)
                                             : QString();
    QString line = QStringLiteral("prefetched: %1%2").arg(done, failed);
    if (result.ending == Prefetch::SteppedAside)
        line = QStringLiteral("prefetch stepped aside for an update: %1%2").arg(done, failed);
    else if (result.ending == Prefetch::LeftAlone)
        line = QStringLiteral("prefetch left everything alone: %1").arg(result.why);
    UpdateLog(settings.targetDir + QLatin1Char('/') + QLatin1String(UpdateLog::fileName)).write(line);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    prepareProcess();
    const StarterSettings settings = parseCommandLine(argc, argv);
    QCoreApplication app(argc, argv);
    if (settings.prefetch)
        return prefetch(settings);

    std::unique_ptr<UpdateLog> log; // only an update, or a master not found, writes one
    const Report report([&log](const QString &line) {
        if (log)
            log->write(line);
    });
    const QString logPath = settings.targetDir + QLatin1Char('/') + QLatin1String(UpdateLog::fileName);
    QFileInfo masterCheck(settings.masterDir + QLatin1Char('/') + settings.checkFile);
    QFileInfo targetCheck(settings.targetDir + QLatin1Char('/') + settings.checkFile);
    bool mayUpdate = true;
    if (Recovery::recordIn(settings.targetDir, SystemDisk::instance())) { // one look, every start
        log.reset(new UpdateLog(logPath));
        mayUpdate = settleCutShortUpdate(settings, report);
        masterCheck.refresh();
        targetCheck.refresh();
    }
    bool installed = false;
    if (!mayUpdate) {
        installed = masterCheck.exists() && targetCheck.exists(); // the old program starts; no update yet
    } else if (updateDue(settings, masterCheck, targetCheck, report, &installed)) {
        if (!log)
            log.reset(new UpdateLog(logPath));
        update(settings, masterCheck, targetCheck, *log, report);
    } else if (!masterCheck.exists() && QFileInfo(settings.targetDir).isDir()) {
        // Silent on the console, as ever; the log tells an administrator why.
        UpdateLog(logPath).write(QStringLiteral("master check file not found: %1; the program was not started")
                                     .arg(shownPath(masterCheck.filePath())));
    }
    if (!installed)
        return -1;
    puts("Synchronizovano");
    fflush(stdout); // before the application can write to the same console

    const QString program = settings.targetDir + QLatin1Char('/') + settings.checkFile;
    const QString error = launch(program);
    if (!error.isEmpty()) {
        report.failure("cannot start", program, error);
        return -1;
    }
    return 0;
}
