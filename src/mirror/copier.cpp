#include "mirror/copier.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QRegularExpression>

#include <algorithm>
#include <cstdio>

namespace {

// Enough to overlap a file share's latency with the writing of the target:
// through a master that adds 1 ms to every operation, 8 copied a tree 10 %
// faster than 4; on a local disk they were alike.
const int workerCount = 8;
// A batch is synced to disk at once: large enough to spare most syncs,
// small enough that the queue stays small.
const int batchFiles = 256;
const qint64 batchBytes = 64 << 20;

QString directoryOf(const QString &path)
{
    return path.section(QLatin1Char('/'), 0, -2);
}

} // namespace

void reportFailure(const char *what, const QString &path, const QString &reason)
{
    fprintf(stderr, "quorvane-starter: %s %s: %s\n", what,
            QDir::toNativeSeparators(path).toLocal8Bit().constData(), reason.toLocal8Bit().constData());
    fflush(stderr);
}

// --- temporary names ---------------------------------------------------------

TemporaryNames::TemporaryNames()
{
    // The process id keeps two runs on one machine apart, the time two machines.
    const quint64 stamp = quint64(QDateTime::currentMSecsSinceEpoch()) & 0xffffff;
    prefix = QStringLiteral(".~qv%1%2.")
                 .arg(QCoreApplication::applicationPid(), 0, 16)
                 .arg(stamp, 6, 16, QLatin1Char('0'));
}

QString TemporaryNames::in(const QString &directory)
{
    return directory + QLatin1Char('/') + prefix + QString::number(next++, 16);
}

bool TemporaryNames::isTemporary(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^\\.~qv[0-9a-f]{7,}\\.[0-9a-f]+$"));
    return pattern.match(name).hasMatch();
}

bool TemporaryNames::isOurs(const QString &name) const
{
    return name.startsWith(prefix);
}

// --- progress ----------------------------------------------------------------

ProgressLine::ProgressLine()
    : enabled(fileops::stderrIsTerminal())
{
}

void ProgressLine::draw(bool now)
{
    if (!enabled || (!now && sinceDrawn.isValid() && sinceDrawn.elapsed() < 100))
        return;
    sinceDrawn.start();
    const char *ofWhat = walkDone ? "of" : "of at least";
    const QByteArray text = QStringLiteral("%1 %2 %3 files, %4 %5 %6 MB")
                                .arg(filesDone).arg(QLatin1String(ofWhat)).arg(filesQueued)
                                .arg(std::min(bytesDone.loadAcquire(), bytesQueued) / 1e6, 0, 'f', 1)
                                .arg(QLatin1String(ofWhat)).arg(bytesQueued / 1e6, 0, 'f', 1)
                                .toLocal8Bit();
    // Spaces, not terminal escapes, wipe a longer line: every console understands them.
    const int padding = std::max(0, shown - int(text.size()));
    fprintf(stderr, "\r%s%*s", text.constData(), padding, "");
    fflush(stderr);
    shown = text.size() + padding;
}

void ProgressLine::erase()
{
    if (!enabled || shown == 0)
        return;
    fprintf(stderr, "\r%*s\r", shown, "");
    fflush(stderr);
    shown = 0;
}

// --- copier ------------------------------------------------------------------

// One file of a batch; a worker fills in error and device.
struct CopyJob
{
    QString source;
    QString destination;
    QString temporary;  // empty for a failure of the walk's own
    FileEntry master;
    const char *what = "cannot update";
    QString error;
    quint64 device = 0;
};

namespace {

class CopyTask : public QRunnable
{
public:
    CopyTask(CopyJob *job, QAtomicInteger<qint64> *bytes, QSemaphore *finished)
        : job(job), bytes(bytes), finished(finished) {}

    void run() override
    {
        job->error = fileops::copyToNew(job->source, job->temporary, job->master, false, &job->device, bytes);
        finished->release();
    }

private:
    CopyJob *job;
    QAtomicInteger<qint64> *bytes;
    QSemaphore *finished;
};

} // namespace

Copier::Copier(TemporaryNames &names, ProgressLine &progress)
    : names(names), progress(progress)
{
    pool.setMaxThreadCount(workerCount);
}

Copier::~Copier()
{
    if (!batch.empty()) // the workers write into the batch's jobs
        flush();
}

void Copier::copy(const QString &source, const QString &destination, const FileEntry &master)
{
    std::unique_ptr<CopyJob> job(new CopyJob);
    job->source = source;
    job->destination = destination;
    job->temporary = names.in(directoryOf(destination));
    job->master = master;
    pool.start(new CopyTask(job.get(), &progress.bytesDone, &finished));
    ++running;
    batchBytes += master.size;
    progress.addQueued(master.size);
    batch.push_back(std::move(job));
    if (int(batch.size()) >= batchFiles || batchBytes >= ::batchBytes)
        flush();
    else
        progress.draw();
}

void Copier::fail(const char *what, const QString &path, const QString &reason)
{
    std::unique_ptr<CopyJob> job(new CopyJob);
    job->destination = path;
    job->what = what;
    job->error = reason;
    batch.push_back(std::move(job));
    if (int(batch.size()) >= batchFiles)
        flush();
}

void Copier::finish()
{
    progress.setWalkDone(true);
    flush();
}

void Copier::flush()
{
    for (; running > 0; --running) {
        while (!finished.tryAcquire(1, 100))
            progress.draw();
    }
    // A copy that found the disk full may only have lost a race with another
    // copy of this batch. Once the failed ones have let go of their space,
    // each is tried again, alone, as one copy after another would have done.
    for (const auto &job : batch) {
        if (!job->temporary.isEmpty() && job->error == fileops::diskFullError())
            job->error = fileops::copyToNew(job->source, job->temporary, job->master, false, &job->device,
                                            &progress.bytesDone);
    }
    // The new data is on disk before any old file is replaced by it: one
    // sync for each file system that this batch wrote to.
    QStringList toSync;
    std::vector<quint64> batchDevices;
    for (const auto &job : batch) {
        if (job->temporary.isEmpty() || !job->error.isEmpty()
            || std::find(batchDevices.begin(), batchDevices.end(), job->device) != batchDevices.end())
            continue;
        batchDevices.push_back(job->device);
        toSync << job->temporary;
        if (std::find(devices.begin(), devices.end(), job->device) == devices.end()) {
            devices.push_back(job->device);
            oneFilePerDevice.push_back(job->destination);
        }
    }
    fileops::syncFileSystems(toSync);
    for (const auto &job : batch) {
        if (!job->temporary.isEmpty() && job->error.isEmpty()) {
            job->error = fileops::replaceFile(job->temporary, job->destination,
                                              names.in(directoryOf(job->destination)));
            if (!job->error.isEmpty())
                fileops::removeFile(job->temporary);
        }
        if (!job->error.isEmpty()) {
            progress.erase();
            reportFailure(job->what, job->destination, job->error);
            ++failureCount;
        } else if (!job->temporary.isEmpty()) {
            ++copiedCount;
        }
        if (!job->temporary.isEmpty())
            progress.fileDone();
    }
    batch.clear();
    batchBytes = 0;
    progress.draw(true);
}
