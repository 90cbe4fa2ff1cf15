#include "mirror/stage.h"

#include "mirror/busyretry.h"
#include "mirror/comparison.h"
#include "mirror/disk.h"
#include "mirror/prefetched.h"
#include "mirror/progressline.h"
#include "mirror/report.h"
#include "mirror/staged.h"
#include "mirror/temporarynames.h"

#include <algorithm>

namespace {

// However many files, a batch holds no more than this much data.
const qint64 maxBatchBytes = 64 << 20;

} // namespace

// One copy of a batch; the workers fill in how it went.
struct Stage::Job : WrittenCopy
{
    QString masterDir;
    FileEntry master;
    bool replacing = false;
    int restaged = -1;
    int order = 0;
};

Stage::Stage(const QString &targetDir, Disk &disk, TemporaryNames &names, StagedFiles &staged,
             ProgressLine &progress, Comparison &comparison, BusyRetry &retry, const Report &report)
    : disk(disk), names(names), staged(staged), progress(progress), comparison(comparison), retry(retry),
      lines(report), durability(targetDir, disk)
{
}

Stage::~Stage()
{
    if (!batch.empty()) // the workers write into the batch's jobs
        flush();
}

void Stage::add(const DirectoryPlan &plan)
{
    int failure = 0;
    for (int i = 0; i <= plan.copies.size(); ++i) {
        for (; failure < plan.failures.size() && plan.failures[failure].first <= i; ++failure)
            planFailures.emplace_back(order++, plan.failures[failure].second);
        if (i < plan.copies.size())
            copy(plan.master, plan.target, plan.copies[i]);
    }
    if (planFailures.size() >= 512)
        flush();
}

void Stage::copy(const QString &masterDir, const QString &targetDir, const DirectoryPlan::Copy &planned)
{
    if (batchLimit == 0)
        batchLimit = durability.beginBatch();
    std::unique_ptr<Job> job(new Job);
    job->masterDir = masterDir;
    job->names = &names;
    job->directory = targetDir;
    job->number = names.take();
    job->master = planned.master;
    job->replacing = planned.replacing;
    job->restaged = planned.restaged;
    job->size = planned.master.size;
    job->order = order++;
    Job *work = job.get();
    QAtomicInteger<qint64> *bytes = &progress.bytesDone;
    Disk *files = &disk;
    BusyRetry *busy = &retry;
    const Durability *durable = &durability;
    const Prefetched *prefetch = prefetched;
    workers.run([work, bytes, files, busy, durable, prefetch] {
        const QString source = work->masterDir + QLatin1Char('/') + work->master.name;
        if (prefetch
            && prefetch->moveInto(work->directory + QLatin1Char('/') + work->master.name, work->master,
                                  work->temporary(), &work->outcome)) {
            bytes->fetchAndAddRelaxed(work->master.size);
            return; // on disk and closed: the prefetch wrote it so
        }
        work->outcome.error = busy->run([&] {
            work->outcome = files->copyToNew(source, work->temporary(), work->master, bytes);
            return work->outcome.error;
        });
        durable->written(work);
    });
    batchBytes += planned.master.size;
    progress.addQueued(planned.master.size);
    batch.push_back(std::move(job));
    if (int(batch.size()) >= batchLimit || batchBytes >= maxBatchBytes)
        flush();
    else
        progress.draw();
}

void Stage::finish()
{
    progress.setWalkDone(true);
    flush();
}

// A copy that found the disk full may only have lost a race with another
// copy of this batch. Once the failed ones have let go of their space, each
// is tried again, alone, as one copy after another would have done (the
// copies of the batch that are still being written go first).
void Stage::retryWhereDiskWasFull()
{
    for (const auto &job : batch) {
        if (job->outcome.error.kind() != FileError::Full)
            continue;
        for (const auto &other : batch)
            durability.letGo(other.get());
        job->outcome = disk.copyToNew(job->masterDir + QLatin1Char('/') + job->master.name, job->temporary(),
                                      job->master, &progress.bytesDone);
        durability.written(job.get());
    }
}

void Stage::flush()
{
    const auto draw = [this] { progress.draw(); };
    workers.wait(draw);
    retryWhereDiskWasFull();
    std::vector<WrittenCopy *> written;
    for (const auto &job : batch)
        written.push_back(job.get());
    durability.makeDurable(written, workers);
    report(batch);
    for (const auto &job : batch) {
        progress.fileDone();
        if (job->outcome.error.failed())
            continue;
        ++copyCount;
        const QString target = job->directory + QLatin1Char('/') + job->master.name;
        comparison.copied(target, job->master, job->outcome.kept);
        staged.add(job->directory, job->master.name, job->number, job->replacing, job->outcome.kept, job->restaged);
    }
    batch.clear();
    batchLimit = 0;
    batchBytes = 0;
    progress.draw(true);
}

// The failures of the plan and of the batch's copies, in the walk's order.
void Stage::report(const std::vector<std::unique_ptr<Job>> &jobs)
{
    std::vector<std::pair<int, Failure>> failures;
    failures.swap(planFailures);
    for (const auto &job : jobs) {
        if (!job->outcome.error.failed())
            continue;
        const bool reading = job->outcome.readingFailed;
        failures.emplace_back(job->order, Failure{ reading ? "cannot read" : "cannot update",
                                                   reading ? job->masterDir + QLatin1Char('/') + job->master.name
                                                           : job->directory + QLatin1Char('/') + job->master.name,
                                                   job->outcome.error });
    }
    std::sort(failures.begin(), failures.end(),
              [](const std::pair<int, Failure> &a, const std::pair<int, Failure> &b) { return a.first < b.first; });
    for (const auto &failure : failures) {
        progress.erase();
        lines.failure(failure.second.what, failure.second.path, failure.second.reason);
        ++failureCount;
    }
}
