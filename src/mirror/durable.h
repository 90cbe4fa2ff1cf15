#ifndef DURABLE_H
#define DURABLE_H

// Part of staging: a batch of copies on disk before any of them counts as
// staged, so that a power cut after the commit never finds a new name over
// unwritten data.

#include "mirror/disk.h"
#include "mirror/temporarynames.h"

#include <QString>

#include <vector>

class Workers;

// A copy on its way to the disk.
struct WrittenCopy
{
    CopyOutcome outcome; // its error set: nothing of it to put on disk
    const TemporaryNames *names = nullptr;
    QString directory;   // where it is written
    quint64 number = 0;  // of its temporary
    qint64 size = 0;
    bool closed = false; // closed before it was known to be on disk

    // Its path, made when wanted: a batch of thousands holds none.
    QString temporary() const { return names->at(directory, number); }
};

// Puts a batch of copies on disk before any of them may go in, each
// platform its own way, through the disk's calls. A copy that could not be
// put there fails, its temporary removed.
// - Linux (durable_unix.cpp): a batch whose copies are about the only
//   unsaved data on the machine goes to disk in one sync of the target's
//   file system, one journal commit; otherwise each copy is written out as
//   soon as it is written and synced on its own (fdatasync), side by side.
//   The directories that renames change are synced by the commit.
// - Windows (durable_win.cpp): each copy is flushed (FlushFileBuffers) and
//   closed on its worker as soon as it is written; Windows documents no
//   flush of a directory without administrator rights, so the commit's
//   renames are written through (MOVEFILE_WRITE_THROUGH) instead. That
//   promises less than Linux: a rename is on disk once it returns, but the
//   directory entry of a new subdirectory is not known to be.
class Durability
{
public:
    Durability(const QString &targetDir, Disk &disk);
    ~Durability();
    Durability(const Durability &) = delete;
    Durability &operator=(const Durability &) = delete;

    // Before the first copy of a batch: how many copies it may hold.
    int beginBatch();
    // On a worker, as soon as a copy is written.
    void written(WrittenCopy *copy) const;
    // Lets go of every copy still open, on disk or not, so that the space of
    // the failed ones is free again.
    void letGo(WrittenCopy *copy) const;
    // Once every copy of the batch is written.
    void makeDurable(const std::vector<WrittenCopy *> &batch, Workers &workers);

private:
    const QString directory;
    Disk &disk;
    bool opened = false;
    qintptr fileSystem = -1;
    quint64 device = 0;
    bool writeOutEach = true;
};

#endif
