#include "mirror/copier.h"

#include "mirror/busyretry.h"
#include "mirror/comparison.h"
#include "mirror/progressline.h"
#include "mirror/report.h"
#include "mirror/temporarynames.h"

#include <algorithm>
#include <functional>

namespace {

// Enough to overlap a file share's latency with the writing of the target:
// through a master that adds 1 ms to every operation, 8 copied a tree 10 %
// faster than 4; on a local disk they were alike.
const int workerCount = 8;
// A batch is made durable together: large enough that the syncs of its
// files share the file system's journal commits, small enough that the
// queue stays small and its copies, open until then, stay well within the
// 1024 descriptors a process has by default. A batch that goes to disk in
// one sync of the file system closes its copies as they are written, and
// is larger: 20,000 small files took 0.93 of the time in batches of 512 as
// in 256, and 0.88 in batches of 1024 (one journal commit each).
const int batchFiles = 512;
const int batchFilesAtOnce = 2048;
const qint64 batchBytes = 64 << 20;

QString directoryOf(const QString &path)
{
    return path.section(QLatin1Char('/'), 0, -2);
}

// Runs work on a worker and counts it as finished.
class Task : public QRunnable
{
public:
    Task(std::function<void()> work, QSemaphore *finished) : work(std::move(work)), finished(finished) {}
    void run() override
    {
        work();
        finished->release();
    }

private:
    std::function<void()> work;
    QSemaphore *finished;
};

} // namespace

// One entry of a batch: a copy, whose outcome the workers fill in, or a
// failure of the walk's own.
struct CopyJob
{
    QString master;
    QString target;
    QString temporary;
    FileEntry masterEntry;
    bool replacing = false;
    CopyOutcome outcome;
    bool syncByName = false; // closed before it was known to be on disk
    const char *walkFailure = nullptr; // what could not be done, for the walk's own
    QString failedPath;
};

Copier::Copier(TemporaryNames &names, ProgressLine &progress, Comparison &comparison, BusyRetry &retry,
               const Report &report)
    : names(names), progress(progress), comparison(comparison), retry(retry), report(report)
{
    pool.setMaxThreadCount(workerCount);
}

Copier::~Copier()
{
    if (!batch.empty()) // the workers write into the batch's jobs
        flush();
    discard();
    fileops::closeFileSystem(&fileSystem);
}

void Copier::run(std::function<void()> work)
{
    pool.start(new Task(std::move(work), &finished));
    ++running;
}

void Copier::copy(const QString &master, const QString &target, const FileEntry &masterEntry, bool replacing)
{
    if (!fileSystemOpened) { // before anything is written to it
        fileSystem = fileops::openFileSystem(directoryOf(target));
        fileSystemOpened = true;
    }
    if (batch.empty()) // a batch that may go to disk at once leaves it to that
        writeOutEach = !fileops::littleElseUnsaved(0);
    std::unique_ptr<CopyJob> job(new CopyJob);
    job->replacing = replacing;
    job->master = master;
    job->target = target;
    job->temporary = names.in(directoryOf(target));
    job->masterEntry = masterEntry;
    CopyJob *work = job.get();
    QAtomicInteger<qint64> *bytes = &progress.bytesDone;
    BusyRetry *busy = &retry;
    const bool writeOut = writeOutEach;
    run([work, bytes, busy, writeOut] {
        work->outcome.error = busy->run([&]() -> FileResult {
            work->outcome = fileops::copyToNew(work->master, work->temporary, work->masterEntry, bytes);
            return work->outcome;
        });
        if (writeOut) {
            fileops::startWriteOut(work->outcome);
        } else if (work->outcome.handle >= 0) { // synced with the file system, or else by name
            fileops::finishCopy(&work->outcome, true);
            work->syncByName = true;
        }
    });
    batchBytes += masterEntry.size;
    progress.addQueued(masterEntry.size);
    batch.push_back(std::move(job));
    if (int(batch.size()) >= (writeOutEach ? batchFiles : batchFilesAtOnce) || batchBytes >= ::batchBytes)
        flush();
    else
        progress.draw();
}

void Copier::fail(const char *what, const QString &path, const QString &reason)
{
    std::unique_ptr<CopyJob> job(new CopyJob);
    job->walkFailure = what;
    job->failedPath = path;
    job->outcome.error = reason;
    batch.push_back(std::move(job));
    if (int(batch.size()) >= batchFiles)
        flush();
}

void Copier::finish()
{
    progress.setWalkDone(true);
    flush();
}

void Copier::waitForWorkers()
{
    for (; running > 0; --running) {
        while (!finished.tryAcquire(1, 100))
            progress.draw();
    }
}

void Copier::flush()
{
    waitForWorkers();
    // A copy that found the disk full may only have lost a race with another
    // copy of this batch. Once the failed ones have let go of their space,
    // each is tried again, alone, as one copy after another would have done
    // (the copies of the batch that are still being written go first).
    for (const auto &job : batch) {
        if (job->walkFailure || job->outcome.error != fileops::diskFullError())
            continue;
        for (const auto &other : batch) {
            const QString error = fileops::finishCopy(&other->outcome);
            if (!error.isEmpty()) {
                fileops::removeFile(other->temporary);
                other->outcome.error = error;
            }
        }
        job->outcome = fileops::copyToNew(job->master, job->temporary, job->masterEntry, &progress.bytesDone);
    }
    // Every copy's data is on disk before it may replace anything: the
    // whole batch at once, in one journal commit, where nothing much else
    // would be waited for; else each copy alone, side by side, so that their
    // syncs share commits. A write that failed shows either way.
    qint64 pages = 0;
    bool anyCopy = false;
    for (const auto &job : batch) {
        anyCopy = anyCopy || (!job->walkFailure && job->outcome.error.isEmpty());
        pages += (job->masterEntry.size + 4095) / 4096;
    }
    const bool together = anyCopy && fileops::littleElseUnsaved(pages * 4096)
                          && fileops::syncFileSystem(fileSystem);
    for (const auto &job : batch) {
        if (job->walkFailure || !job->outcome.error.isEmpty())
            continue;
        CopyJob *work = job.get();
        if (together && work->outcome.kept.device == fileSystem.device) {
            fileops::finishCopy(&work->outcome, true); // closes it
            continue;
        }
        run([work] {
            const QString error = work->syncByName ? fileops::syncFile(work->temporary)
                                                   : fileops::finishCopy(&work->outcome);
            if (!error.isEmpty()) {
                fileops::removeFile(work->temporary);
                work->outcome.error = error;
            }
        });
    }
    waitForWorkers();

    for (const auto &job : batch) {
        if (!job->outcome.error.isEmpty()) {
            const bool reading = job->outcome.readingFailed;
            progress.erase();
            report.failure(job->walkFailure ? job->walkFailure : reading ? "cannot read" : "cannot update",
                          job->walkFailure ? job->failedPath : reading ? job->master : job->target,
                          job->outcome.error);
            ++failureCount;
        } else if (!job->walkFailure) {
            ++copyCount;
            comparison.copied(job->target, job->masterEntry, job->outcome.kept);
            const auto known = waitingCopies.constFind(job->target);
            if (known != waitingCopies.constEnd()) // copied again: the master changed since the earlier copy
                fileops::removeFile(directoryOf(job->target) + QLatin1Char('/') + known->temporaryName);
            const FileEntry &kept = job->outcome.kept;
            waitingCopies.insert(job->target, Waiting{ job->temporary.section(QLatin1Char('/'), -1), kept.size,
                                                       kept.mtimeNs, kept.device, kept.mode, job->replacing });
        }
        if (!job->walkFailure)
            progress.fileDone();
    }
    batch.clear();
    batchBytes = 0;
    progress.draw(true);
}

bool Copier::waiting(const QString &target, FileEntry *copy) const
{
    const auto known = waitingCopies.constFind(target);
    if (known == waitingCopies.constEnd())
        return false;
    copy->isFile = true;
    copy->size = known->size;
    copy->mtimeNs = known->mtimeNs;
    copy->device = known->device;
    copy->mode = known->mode;
    return true;
}

QString Copier::temporaryOf(const QString &target) const
{
    const auto known = waitingCopies.constFind(target);
    return known == waitingCopies.constEnd() ? QString()
                                             : directoryOf(target) + QLatin1Char('/') + known->temporaryName;
}

int Copier::commit()
{
    struct Placing
    {
        QString target;
        const Waiting *copy;
        QString old;    // the old file's second name while the copies go in ("": none)
        QString error;
    };
    std::vector<Placing> placing;
    placing.reserve(size_t(waitingCopies.size()));
    for (auto copy = waitingCopies.constBegin(); copy != waitingCopies.constEnd(); ++copy)
        placing.push_back(Placing{ copy.key(), &copy.value(), QString(), QString() });
    // At most a batch under way: a whole tree's renames would otherwise queue at once.
    for (size_t i = 0; i < placing.size(); ++i) {
        Placing *work = &placing[i];
        const QString directory = directoryOf(work->target);
        const QString old = work->copy->replacing ? names.in(directory) : QString();
        BusyRetry *busy = &retry;
        run([work, old, busy] {
            const QString temporary = directoryOf(work->target) + QLatin1Char('/') + work->copy->temporaryName;
            if (!old.isEmpty() && fileops::keepOld(work->target, old).isEmpty())
                work->old = old;
            work->error = busy->run([&] { return fileops::replaceFile(temporary, work->target); });
            if (!work->error.isEmpty())
                fileops::removeFile(temporary);
        });
        if (running >= batchFiles)
            waitForWorkers();
    }
    waitForWorkers();
    std::vector<const Placing *> failed; // reported in the order of their paths
    for (const Placing &place : placing) {
        if (!place.error.isEmpty())
            failed.push_back(&place);
    }
    std::sort(failed.begin(), failed.end(), [](const Placing *a, const Placing *b) { return a->target < b->target; });
    for (const Placing *place : failed) {
        progress.erase();
        report.failure("cannot update", place->target, place->error);
    }
    for (Placing &place : placing) {
        if (!failed.empty() && place.error.isEmpty()) { // taken back out
            if (!place.copy->replacing)
                fileops::removeFile(place.target);
            else if (!place.old.isEmpty()
                     && fileops::replaceFile(place.old, place.target).error.isEmpty())
                continue;
        }
        if (failed.empty()) {
            ++placedCount;
            placedByteCount += place.copy->size;
            changedDirs.insert(directoryOf(place.target));
        }
        if (!place.old.isEmpty()) {
            const QString old = place.old;
            run([old] { fileops::removeFile(old); });
            if (running >= batchFiles)
                waitForWorkers();
        }
    }
    waitForWorkers();
    failureCount += int(failed.size());
    waitingCopies.clear();
    return int(failed.size());
}

void Copier::discard()
{
    for (auto copy = waitingCopies.constBegin(); copy != waitingCopies.constEnd(); ++copy)
        fileops::removeFile(directoryOf(copy.key()) + QLatin1Char('/') + copy->temporaryName);
    waitingCopies.clear();
}

int syncDirectories(const QSet<QString> &directories, const Report &report)
{
    struct Result
    {
        QString directory;
        QString error;
    };
    QStringList sorted = directories.values(); // failures in a stable order
    sorted.sort();
    std::vector<Result> results;
    for (const QString &directory : sorted)
        results.push_back(Result{ directory, QString() });
    QThreadPool pool;
    pool.setMaxThreadCount(workerCount);
    QSemaphore finished;
    for (Result &result : results) {
        Result *work = &result;
        pool.start(new Task([work] { work->error = fileops::syncDirectory(work->directory); }, &finished));
    }
    finished.acquire(int(results.size()));
    int failures = 0;
    for (const Result &result : results) {
        if (!result.error.isEmpty()) {
            report.failure("cannot update", result.directory, result.error);
            ++failures;
        }
    }
    return failures;
}
