#ifndef DURABLE_H
#define DURABLE_H

// The update's third phase: a batch of copies on disk before any goes in.

#include "mirror/fileops.h"
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
// platform its own way (durable_unix.cpp, durable_win.cpp). A copy that
// could not be put there fails, its temporary removed.
class Durability
{
public:
    explicit Durability(const QString &targetDir);
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
    bool opened = false;
    qintptr fileSystem = -1;
    quint64 device = 0;
    bool writeOutEach = true;
};

#endif
