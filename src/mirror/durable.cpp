#include "mirror/durable.h"

void Durability::letGo(WrittenCopy *copy) const
{
    const FileError error = disk.finishCopy(&copy->outcome);
    if (error.failed()) {
        disk.removeFile(copy->temporary());
        copy->outcome.error = error;
    }
}
