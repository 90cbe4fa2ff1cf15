#ifndef STAGE_H
#define STAGE_H

// The update's second phase: the copies, made beside the files they replace.

#include "mirror/durable.h"
#include "mirror/plan.h"
#include "mirror/workers.h"

#include <memory>
#include <vector>

class BusyRetry;
class Comparison;
class Disk;
class Prefetched;
class ProgressLine;
class Report;
class StagedFiles;
class TemporaryNames;

// Copies what the plan decided onto temporaries beside the files they will
// replace, on a few workers, a batch at a time; a batch reaches the disk
// before its copies count as staged. The plan's failures and the copies'
// are reported in the order the walk met them, one whole line each.
class Stage
{
public:
    Stage(const QString &targetDir, Disk &disk, TemporaryNames &names, StagedFiles &staged, ProgressLine &progress,
          Comparison &comparison, BusyRetry &retry, const Report &report);
    ~Stage();

    // Copies are taken from the prefetch where it has them, unchanged.
    void takeFrom(const Prefetched *prefetch) { prefetched = prefetch; }
    void add(const DirectoryPlan &plan);
    // Waits for every copy given so far: each is then staged, or failed.
    void finish();

    int failures() const { return failureCount; }
    int copiesMade() const { return copyCount; }

private:
    struct Job;

    void copy(const QString &masterDir, const QString &targetDir, const DirectoryPlan::Copy &planned);
    void flush();
    void retryWhereDiskWasFull();
    void report(const std::vector<std::unique_ptr<Job>> &batch);

    Disk &disk;
    TemporaryNames &names;
    StagedFiles &staged;
    ProgressLine &progress;
    Comparison &comparison;
    BusyRetry &retry;
    const Report &lines;
    Workers workers;
    Durability durability;
    const Prefetched *prefetched = nullptr;
    std::vector<std::unique_ptr<Job>> batch;
    std::vector<std::pair<int, Failure>> planFailures; // by their place among the copies
    int order = 0;     // of the next copy or failure
    int batchLimit = 0; // copies; 0: no batch begun
    qint64 batchBytes = 0;
    int failureCount = 0;
    int copyCount = 0;
};

#endif
