#ifndef DISK_H
#define DISK_H

#include "mirror/fileops.h"

// The calls through which an update changes the target, in one place: the
// update makes them through a Disk, which is the system's own, and a test
// derives a Disk of its own that fails any one of them.
class Disk
{
public:
    virtual ~Disk() = default;

    virtual CopyOutcome copyToNew(const QString &source, const QString &temporary, const FileEntry &master,
                                  QAtomicInteger<qint64> *copiedBytes)
    {
        return fileops::copyToNew(source, temporary, master, copiedBytes);
    }
    virtual QString makeDirectory(const QString &path) { return fileops::makeDirectory(path); }
    virtual FileResult keepOld(const QString &path, const QString &kept) { return fileops::keepOld(path, kept); }
    virtual FileResult moveAside(const QString &path, const QString &aside)
    {
        return fileops::moveAside(path, aside);
    }
    virtual FileResult replaceFile(const QString &from, const QString &to) { return fileops::replaceFile(from, to); }
    virtual FileResult removeFile(const QString &path) { return fileops::removeFile(path); }
    virtual QString syncDirectory(const QString &path) { return fileops::syncDirectory(path); }

    static Disk &system()
    {
        static Disk disk;
        return disk;
    }
};

#endif
