#ifndef COPIER_H
#define COPIER_H

#include "mirror/fileops.h"

#include <QElapsedTimer>
#include <QSemaphore>
#include <QString>
#include <QThreadPool>

#include <memory>
#include <vector>

// The one line on a terminal that shows how far an update has come.
class ProgressLine
{
public:
    ProgressLine();
    void addQueued(qint64 bytes) { ++filesQueued; bytesQueued += bytes; }
    void fileDone() { ++filesDone; }
    void setWalkDone(bool done) { walkDone = done; }
    void draw(bool now = false);
    void erase();

    QAtomicInteger<qint64> bytesDone;

private:
    bool enabled;
    bool walkDone = false;
    qint64 filesQueued = 0, filesDone = 0, bytesQueued = 0;
    int shown = 0; // characters on the line now
    QElapsedTimer sinceDrawn;
};

// Names of temporary files for one run: hidden, short, in the file's own
// directory, and never a name of anyone else's. A later run recognises the
// leftovers of one that was killed by their pattern.
class TemporaryNames
{
public:
    TemporaryNames();
    QString in(const QString &directory);
    static bool isTemporary(const QString &name);
    bool isOurs(const QString &name) const;

private:
    QString prefix;
    quint64 next = 0;
};

struct CopyJob;

// Copies files on a few worker threads and puts each copy in place of the
// old file. Copies are written to temporaries in batches; a batch is synced
// to disk once, then renamed into place in the order the files were given,
// and its failures are reported in that order, one whole line each.
class Copier
{
public:
    Copier(TemporaryNames &names, ProgressLine &progress);
    ~Copier();

    void copy(const QString &source, const QString &destination, const FileEntry &master);
    // A failure of the walk's own, reported in its place among the copies.
    void fail(const char *what, const QString &path, const QString &reason);
    // Waits for every copy and puts it in place.
    void finish();

    int failures() const { return failureCount; }
    int copied() const { return copiedCount; }
    // One copied file on each file system written to.
    const QStringList &devicePaths() const { return oneFilePerDevice; }

private:
    void flush();

    TemporaryNames &names;
    ProgressLine &progress;
    QThreadPool pool;
    QSemaphore finished;
    std::vector<std::unique_ptr<CopyJob>> batch;
    int running = 0;
    qint64 batchBytes = 0;
    int failureCount = 0;
    int copiedCount = 0;
    std::vector<quint64> devices;
    QStringList oneFilePerDevice;
};

void reportFailure(const char *what, const QString &path, const QString &reason);

#endif
