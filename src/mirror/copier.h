#ifndef COPIER_H
#define COPIER_H

#include "mirror/fileops.h"

#include <QHash>
#include <QSemaphore>
#include <QSet>
#include <QString>
#include <QThreadPool>

#include <memory>
#include <vector>

class BusyRetry;
class Comparison;
class ProgressLine;
class Report;
class TemporaryNames;
struct CopyJob;

// Copies files on a few worker threads into temporaries beside the files
// they replace, and keeps them there until the whole update can go in:
// commit() then puts them all in place, discard() removes them and leaves
// the target as it was. Copies are made in batches, each made durable as
// a whole (one sync of the file system, where that waits for nobody else's
// data) or copy by copy side by side; the batch's failures are
// reported in the order the files were given, one whole line each. The
// disk's own failures count: a copy that could not be made durable fails.
class Copier
{
public:
    Copier(TemporaryNames &names, ProgressLine &progress, Comparison &comparison, BusyRetry &retry,
           const Report &report);
    ~Copier();

    // replacing: the target has a file of that name now.
    void copy(const QString &master, const QString &target, const FileEntry &masterEntry, bool replacing);
    // A failure of the walk's own, reported in its place among the copies.
    void fail(const char *what, const QString &path, const QString &reason);
    // A directory whose entries changed otherwise than by a copy (a new subdirectory).
    void changed(const QString &directory) { changedDirs.insert(directory); }
    // Waits for every copy given so far; each one is then waiting to go in.
    void finish();
    // Whether a copy waits to replace target, and what it is (what a later
    // pass compares the master with).
    bool waiting(const QString &target, FileEntry *copy) const;
    QString temporaryOf(const QString &target) const;

    // Puts every waiting copy in place of its file; returns how many could
    // not be, each reported. Where one could not, the others are taken back
    // out (their old files put back, where the file system keeps a second
    // name for them), so that the target is as it was.
    int commit();
    // Removes every waiting copy.
    void discard();

    int failures() const { return failureCount; }
    int copiesMade() const { return copyCount; }
    // What commit() put in place.
    int placed() const { return placedCount; }
    qint64 placedBytes() const { return placedByteCount; }
    // The directories that have new entries, which must reach the disk too.
    const QSet<QString> &changedDirectories() const { return changedDirs; }

private:
    // A copy waiting to go in, as small as it can be: there may be a whole
    // tree of them.
    struct Waiting
    {
        QString temporaryName; // in the target's directory
        qint64 size;           // what the target holds of the copy, for the
        qint64 mtimeNs;        // comparison of a later pass
        quint64 device;
        uint mode;
        bool replacing;
    };

    void flush();
    void waitForWorkers();
    void run(std::function<void()> work);

    TemporaryNames &names;
    ProgressLine &progress;
    Comparison &comparison;
    BusyRetry &retry;
    const Report &report;
    QThreadPool pool;
    QSemaphore finished;
    std::vector<std::unique_ptr<CopyJob>> batch;
    QHash<QString, Waiting> waitingCopies; // by target path
    int running = 0;
    qint64 batchBytes = 0;
    int failureCount = 0;
    int copyCount = 0;
    int placedCount = 0;
    qint64 placedByteCount = 0;
    QSet<QString> changedDirs;
    fileops::FileSystem fileSystem; // the target's, for making a batch durable at once
    bool fileSystemOpened = false;
    bool writeOutEach = true;       // each copy of this batch sets off its own write-out
};

// Makes the entries of these directories durable, on a few threads; returns
// how many could not be, each reported.
int syncDirectories(const QSet<QString> &directories, const Report &report);

#endif
