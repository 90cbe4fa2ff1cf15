#include "mirror/durable.h"

#include "mirror/workers.h"

#include <QFile>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Linux: a batch whose copies are about the only unsaved data on the machine
// goes to disk in one sync of the target's file system, one journal commit;
// otherwise each copy is written out as soon as it is written and synced on
// its own, side by side, so that no other program's data is waited for.

namespace {

// A batch is made durable together: large enough that the syncs of its
// files share the file system's journal commits, small enough that its
// copies, open until then, stay well within the 1024 descriptors a process
// has by default. A batch that goes to disk in one sync of the file system
// closes its copies as they are written, and is larger: 20,000 small files
// took 0.93 of the time in batches of 512 as in 256, and 0.88 in batches of
// 1024 (one journal commit each).
const int batchFiles = 512;
const int batchFilesAtOnce = 2048;

// Whether, on the whole machine, at most a few megabytes besides ownBytes
// wait to be written: then syncing a whole file system makes the update
// wait for nobody else's data. What another program left unsaved would be
// waited for too: a few megabytes cost a moment, its hundreds would slow
// the update down.
bool littleElseUnsaved(qint64 ownBytes)
{
    const qint64 othersAtMost = 16 << 20;
    FILE *meminfo = fopen("/proc/meminfo", "re");
    if (!meminfo)
        return false;
    qint64 unsaved = 0;
    int found = 0;
    char line[256];
    while (fgets(line, sizeof line, meminfo)) {
        long long kB = 0;
        if (sscanf(line, "Dirty: %lld kB", &kB) == 1 || sscanf(line, "Writeback: %lld kB", &kB) == 1) {
            unsaved += kB * 1024;
            ++found;
        }
    }
    fclose(meminfo);
    return found == 2 && unsaved - ownBytes <= othersAtMost;
}

// A copy closed before it was on disk, put there by its name: a write of it
// that failed shows here too.
QString syncByName(const QString &path)
{
    CopyOutcome reopened;
    reopened.handle = open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    return reopened.handle < 0 ? fileops::lastError() : fileops::finishCopy(&reopened);
}

} // namespace

Durability::Durability(const QString &targetDir) : directory(targetDir)
{
}

Durability::~Durability()
{
    if (fileSystem >= 0)
        close(int(fileSystem));
}

int Durability::beginBatch()
{
    if (!opened) {
        // syncfs() reports the file system's write errors since this
        // descriptor was opened (Linux 5.8 and later): opened before the
        // first copy is written, it misses none of theirs.
        opened = true;
        const int fd = open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        struct stat info;
        if (fd >= 0 && fstat(fd, &info) == 0) {
            fileSystem = fd;
            device = info.st_dev;
        } else if (fd >= 0) {
            close(fd);
        }
    }
    // A batch that may go to disk at once leaves it to that.
    writeOutEach = !littleElseUnsaved(0);
    return writeOutEach ? batchFiles : batchFilesAtOnce;
}

void Durability::written(WrittenCopy *copy) const
{
    if (copy->outcome.handle < 0)
        return;
    if (writeOutEach) {
        sync_file_range(int(copy->outcome.handle), 0, 0, SYNC_FILE_RANGE_WRITE);
    } else { // synced with the file system, or else by name
        fileops::finishCopy(&copy->outcome, true);
        copy->closed = true;
    }
}

void Durability::letGo(WrittenCopy *copy) const
{
    const QString error = fileops::finishCopy(&copy->outcome);
    if (!error.isEmpty()) {
        fileops::removeFile(copy->temporary());
        copy->outcome.error = error;
    }
}

void Durability::makeDurable(const std::vector<WrittenCopy *> &batch, Workers &workers)
{
    // The whole batch at once, in one journal commit, where nothing much
    // else would be waited for; else each copy alone, side by side, so that
    // their syncs share commits. A write that failed shows either way.
    qint64 pages = 0;
    bool anyCopy = false;
    for (const WrittenCopy *copy : batch) {
        anyCopy = anyCopy || copy->outcome.error.isEmpty();
        pages += (copy->size + 4095) / 4096;
    }
    const bool together = anyCopy && fileSystem >= 0 && littleElseUnsaved(pages * 4096)
                          && syncfs(int(fileSystem)) == 0;
    for (WrittenCopy *copy : batch) {
        if (!copy->outcome.error.isEmpty())
            continue;
        if (together && copy->outcome.kept.device == device) {
            fileops::finishCopy(&copy->outcome, true); // closes it
            continue;
        }
        workers.run([copy] {
            const QString error = copy->closed ? syncByName(copy->temporary()) : fileops::finishCopy(&copy->outcome);
            if (!error.isEmpty()) {
                fileops::removeFile(copy->temporary());
                copy->outcome.error = error;
            }
        });
    }
    workers.wait();
}
