#include "mirror/durable.h"

#include "mirror/workers.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

} // namespace

Durability::Durability(const QString &targetDir, Disk &disk) : directory(targetDir), disk(disk)
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
    writeOutEach = !disk.littleElseUnsaved(0);
    return writeOutEach ? batchFiles : batchFilesAtOnce;
}

void Durability::written(WrittenCopy *copy) const
{
    if (copy->outcome.handle < 0)
        return;
    if (writeOutEach) {
        sync_file_range(int(copy->outcome.handle), 0, 0, SYNC_FILE_RANGE_WRITE);
    } else { // synced with the file system, or else by name
        disk.finishCopy(&copy->outcome, true);
        copy->closed = true;
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
        anyCopy = anyCopy || !copy->outcome.error.failed();
        pages += (copy->size + 4095) / 4096;
    }
    const bool together = anyCopy && fileSystem >= 0 && disk.littleElseUnsaved(pages * 4096)
                          && !disk.syncFileSystem(fileSystem).failed();
    Disk *files = &disk;
    for (WrittenCopy *copy : batch) {
        if (copy->outcome.error.failed())
            continue;
        if (together && copy->outcome.kept.device == device) {
            disk.finishCopy(&copy->outcome, true); // closes it
            continue;
        }
        workers.run([copy, files] {
            const FileError error = copy->closed ? files->syncFile(copy->temporary()) : files->finishCopy(&copy->outcome);
            if (error.failed()) {
                files->removeFile(copy->temporary());
                copy->outcome.error = error;
            }
        });
    }
    workers.wait();
}
