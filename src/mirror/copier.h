#ifndef COPIER_H
#define COPIER_H

#include "mirror/fileops.h"

#include <QSemaphore>
#include <QSet>
#include <QString>
#include <QThreadPool>

#include <memory>
#include <vector>

class BusyRetry;
class Comparison;
class ProgressLine;
class TemporaryNames;
struct CopyJob;

// Copies files on a few worker threads and puts each copy in place of the
// old file. Copies are written to temporaries in batches; the workers then
// make each copy of a batch durable and rename it into place, and the
// batch's failures are reported in the order the files were given, one
// whole line each. The disk's own failures count: a copy that could not be
// made durable leaves the old file.
class Copier
{
public:
    Copier(TemporaryNames &names, ProgressLine &progress, Comparison &comparison, BusyRetry &retry);
    ~Copier();

    void copy(const QString &source, const QString &destination, const FileEntry &master);
    // A failure of the walk's own, reported in its place among the copies.
    void fail(const char *what, const QString &path, const QString &reason);
    // A directory whose entries changed otherwise than by a copy (a new subdirectory).
    void changed(const QString &directory) { changedDirs.insert(directory); }
    // Waits for every copy and puts it in place.
    void finish();

    int failures() const { return failureCount; }
    int copied() const { return copiedCount; }
    qint64 copiedBytes() const { return copiedByteCount; }
    // The directories that have new entries, which must reach the disk too.
    const QSet<QString> &changedDirectories() const { return changedDirs; }

private:
    void flush();
    void waitForWorkers();

    TemporaryNames &names;
    ProgressLine &progress;
    Comparison &comparison;
    BusyRetry &retry;
    QThreadPool pool;
    QSemaphore finished;
    std::vector<std::unique_ptr<CopyJob>> batch;
    int running = 0;
    qint64 batchBytes = 0;
    int failureCount = 0;
    int copiedCount = 0;
    qint64 copiedByteCount = 0;
    QSet<QString> changedDirs;
};

// Makes the entries of these directories durable, on a few threads; returns
// how many could not be, each reported.
int syncDirectories(const QSet<QString> &directories);

#endif
