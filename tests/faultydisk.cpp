#include "faultydisk.h"

#include <QMutexLocker>

void FaultyDisk::fail(const Fault &fault)
{
    QMutexLocker locked(&mutex);
    faults.append(Armed{ fault, QRegularExpression(fault.path), 0 });
}

bool FaultyDisk::faulty(Call call, const QString &path, FileResult *result)
{
    QMutexLocker locked(&mutex);
    bool failing = false;
    for (Armed &armed : faults) {
        if (armed.fault.call != call || !armed.path.match(path).hasMatch())
            continue;
        const int count = ++armed.seen;
        if (count >= armed.fault.nth && (armed.fault.times == 0 || count < armed.fault.nth + armed.fault.times)) {
            result->error = qt_error_string(armed.fault.error);
            result->busy = armed.fault.busy;
            failing = true;
        }
    }
    return failing;
}

CopyOutcome FaultyDisk::copyToNew(const QString &source, const QString &temporary, const FileEntry &master,
                                  QAtomicInteger<qint64> *copiedBytes)
{
    CopyOutcome outcome;
    if (faulty(Copy, temporary, &outcome))
        return outcome;
    return Disk::copyToNew(source, temporary, master, copiedBytes);
}

QString FaultyDisk::makeDirectory(const QString &path)
{
    FileResult result;
    return faulty(MakeDirectory, path, &result) ? result.error : Disk::makeDirectory(path);
}

FileResult FaultyDisk::keepOld(const QString &path, const QString &kept)
{
    FileResult result;
    return faulty(KeepOld, path, &result) ? result : Disk::keepOld(path, kept);
}

FileResult FaultyDisk::moveAside(const QString &path, const QString &aside)
{
    FileResult result;
    return faulty(MoveAside, path, &result) ? result : Disk::moveAside(path, aside);
}

FileResult FaultyDisk::replaceFile(const QString &from, const QString &to)
{
    FileResult result;
    return faulty(Replace, to, &result) ? result : Disk::replaceFile(from, to);
}

FileResult FaultyDisk::removeFile(const QString &path)
{
    FileResult result;
    return faulty(Remove, path, &result) ? result : Disk::removeFile(path);
}

QString FaultyDisk::syncDirectory(const QString &path)
{
    FileResult result;
    return faulty(SyncDirectory, path, &result) ? result.error : Disk::syncDirectory(path);
}
