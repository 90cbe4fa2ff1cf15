#include "mirror/durable.h"

#include "mirror/workers.h"

Durability::Durability(const QString &targetDir, Disk &disk) : directory(targetDir), disk(disk)
{
}

Durability::~Durability()
{
}

int Durability::beginBatch()
{
    return 512;
}

void Durability::written(WrittenCopy *copy) const
{
    // Flushed and closed at once, on the worker that wrote it.
    letGo(copy);
    copy->closed = true;
}

void Durability::makeDurable(const std::vector<WrittenCopy *> &, Workers &)
{
    // Every copy is on disk as soon as it is written.
}
