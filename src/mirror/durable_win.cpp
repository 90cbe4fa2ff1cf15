#include "mirror/durable.h"

// Windows: copyToNew flushes each copy (FlushFileBuffers) and closes it as
// it is written, so a batch is on disk as soon as it is written.

Durability::Durability(const QString &targetDir) : directory(targetDir)
{
}

Durability::~Durability()
{
}

int Durability::beginBatch()
{
    return 512;
}

void Durability::written(WrittenCopy *) const
{
}

void Durability::letGo(WrittenCopy *) const
{
}

void Durability::makeDurable(const std::vector<WrittenCopy *> &, Workers &)
{
}
