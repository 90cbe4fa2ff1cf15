#include "faultydisk.h"

#include <QMutexLocker>

#include <cerrno>

void FaultyDisk::fail(const Fault &fault)
{
    QMutexLocker locked(&mutex);
    faults.append(Armed{ fault, QRegularExpression(fault.path), 0, false });
}

void FaultyDisk::killAt(Call call, const QString &path, int nth)
{
    QMutexLocker locked(&mutex);
    faults.append(Armed{ Fault{ call, path, nth, 0, EIO, false }, QRegularExpression(path), 0, true });
}

FileError FaultyDisk::faulty(Call call, const QString &path)
{
    QMutexLocker locked(&mutex);
    FileError error;
    for (Armed &armed : faults) {
        if (armed.fault.call != call || !armed.path.match(path).hasMatch())
            continue;
        const int count = ++armed.seen;
        killed = killed || (armed.kills && count >= armed.fault.nth);
        if (count >= armed.fault.nth && (armed.fault.times == 0 || count < armed.fault.nth + armed.fault.times))
            error = armed.fault.busy ? FileError(FileError::Busy, armed.fault.error)
                                     : FileError::fromCode(armed.fault.error);
    }
    return killed ? FileError::fromCode(EIO) : error;
}

Listing FaultyDisk::listDirectory(const QString &path)
{
    Listing listing;
    listing.error = faulty(List, path);
    return listing.error.failed() ? listing : SystemDisk::listDirectory(path);
}

FileEntry FaultyDisk::fileEntry(const QString &path)
{
    FileEntry entry;
    entry.error = faulty(Entry, path);
    return entry.error.failed() ? entry : SystemDisk::fileEntry(path);
}

CopyOutcome FaultyDisk::copyToNew(const QString &source, const QString &temporary, const FileEntry &master,
                                  QAtomicInteger<qint64> *copiedBytes, const CopyPace &pace)
{
    CopyOutcome outcome;
    outcome.error = faulty(Copy, temporary);
    const FileError reading = faulty(Read, source);
    if (reading.failed()) {
        outcome.error = reading;
        outcome.readingFailed = true;
    }
    if (outcome.error.failed())
        return outcome;
    outcome = SystemDisk::copyToNew(source, temporary, master, copiedBytes, pace);
    QMutexLocker locked(&mutex);
    if (outcome.handle >= 0)
        openCopies.insert(outcome.handle, temporary);
    return outcome;
}

FileError FaultyDisk::finishCopy(CopyOutcome *outcome, bool onDisk)
{
    QString temporary;
    {
        QMutexLocker locked(&mutex);
        temporary = openCopies.take(outcome->handle);
    }
    // A failure of the disk shows as the copy is closed: closed all the same.
    const FileError injected = outcome->handle >= 0 && !onDisk ? faulty(FinishCopy, temporary) : FileError();
    const FileError error = SystemDisk::finishCopy(outcome, onDisk);
    return injected.failed() ? injected : error;
}

FileError FaultyDisk::syncFile(const QString &path)
{
    const FileError error = faulty(SyncFile, path);
    return error.failed() ? error : SystemDisk::syncFile(path);
}

FileError FaultyDisk::makeDirectory(const QString &path)
{
    const FileError error = faulty(MakeDirectory, path);
    return error.failed() ? error : SystemDisk::makeDirectory(path);
}

FileError FaultyDisk::removeDirectory(const QString &path)
{
    const FileError error = faulty(RemoveDirectory, path);
    return error.failed() ? error : SystemDisk::removeDirectory(path);
}

FileError FaultyDisk::syncDirectory(const QString &path)
{
    const FileError error = faulty(SyncDirectory, path);
    return error.failed() ? error : SystemDisk::syncDirectory(path);
}

bool FaultyDisk::littleElseUnsaved(qint64 ownBytes)
{
    return syncPath == AsTheMachineSays ? SystemDisk::littleElseUnsaved(ownBytes) : syncPath == OneSync;
}

FileError FaultyDisk::syncFileSystem(qintptr fileSystem)
{
    const FileError error = faulty(SyncFileSystem, QString());
    return error.failed() ? error : SystemDisk::syncFileSystem(fileSystem);
}

FileError FaultyDisk::keepOld(const QString &path, const QString &kept)
{
    const FileError error = faulty(KeepOld, path);
    return error.failed() ? error : SystemDisk::keepOld(path, kept);
}

FileError FaultyDisk::moveAside(const QString &path, const QString &aside)
{
    const FileError error = faulty(MoveAside, path);
    return error.failed() ? error : SystemDisk::moveAside(path, aside);
}

FileError FaultyDisk::replaceFile(const QString &from, const QString &to)
{
    const FileError error = faulty(Replace, to);
    return error.failed() ? error : SystemDisk::replaceFile(from, to);
}

FileError FaultyDisk::removeFile(const QString &path)
{
    const FileError error = faulty(Remove, path);
    return error.failed() ? error : SystemDisk::removeFile(path);
}

FileError FaultyDisk::writeOwnFile(const QString &path, const std::function<QByteArray()> &next)
{
    const FileError error = faulty(WriteOwn, path);
    return error.failed() ? error : SystemDisk::writeOwnFile(path, next);
}

FileError FaultyDisk::readOwnFile(const QString &path, QByteArray *contents)
{
    const FileError error = faulty(ReadOwn, path);
    return error.failed() ? error : SystemDisk::readOwnFile(path, contents);
}
