#ifndef FAULTYDISK_H
#define FAULTYDISK_H

#include "mirror/disk.h"

#include <QHash>
#include <QMetaType>
#include <QMutex>
#include <QRegularExpression>
#include <QVector>

// A Disk that fails the calls a test names and makes every other as the
// system does, on real directories: the update's own code meets the fault.
// The update makes its calls on several threads, so a fault is named by the
// path it changes or reads (a rename's destination, a copy's temporary),
// not by the order of all calls. How a batch of copies reaches the disk is
// the row's to choose, not the machine's.
class FaultyDisk : public SystemDisk
{
public:
    enum Call {
        Copy, MakeDirectory, KeepOld, MoveAside, Replace, Remove, SyncDirectory,
        FinishCopy, SyncFile, SyncFileSystem, List, Entry, RemoveDirectory, WriteOwn, ReadOwn,
        Read // a copy's source: a read of the master's file
    };
    struct Fault
    {
        Call call;
        QString path;   // a pattern the path matches (the target's directory for SyncFileSystem)
        int nth;        // the first matching call that fails (1: the first)
        int times;      // how many in a row fail (0: all from the nth on)
        int error;      // errno
        bool busy;      // as another program holding the file would
    };
    // Whether a batch goes to disk in one sync of its file system.
    enum SyncPath { AsTheMachineSays, OneSync, FileByFile };

    void fail(const Fault &fault);
    // The run is killed just before the nth call that matches: that call
    // and every later one fail and change nothing. What is on disk then is
    // what a kill there leaves.
    void killAt(Call call, const QString &path, int nth = 1);
    void setSyncPath(SyncPath path) { syncPath = path; }

    Listing listDirectory(const QString &path) override;
    FileEntry fileEntry(const QString &path) override;
    CopyOutcome copyToNew(const QString &source, const QString &temporary, const FileEntry &master,
                          QAtomicInteger<qint64> *copiedBytes, const CopyPace &pace = CopyPace()) override;
    FileError finishCopy(CopyOutcome *outcome, bool onDisk = false) override;
    FileError syncFile(const QString &path) override;
    FileError makeDirectory(const QString &path) override;
    FileError removeDirectory(const QString &path) override;
    FileError syncDirectory(const QString &path) override;
    bool littleElseUnsaved(qint64 ownBytes) override;
    FileError syncFileSystem(qintptr fileSystem) override;
    FileError keepOld(const QString &path, const QString &kept) override;
    FileError moveAside(const QString &path, const QString &aside) override;
    FileError replaceFile(const QString &from, const QString &to) override;
    FileError removeFile(const QString &path) override;
    FileError writeOwnFile(const QString &path, const std::function<QByteArray()> &next) override;
    FileError readOwnFile(const QString &path, QByteArray *contents) override;

private:
    struct Armed
    {
        Fault fault;
        QRegularExpression path;
        int seen;
        bool kills;
    };
    // The injected failure for this call, if any.
    FileError faulty(Call call, const QString &path);

    QMutex mutex;
    QVector<Armed> faults;
    QHash<qintptr, QString> openCopies; // their temporaries, by handle
    SyncPath syncPath = AsTheMachineSays;
    bool killed = false;
};

using Faults = QVector<FaultyDisk::Fault>;
Q_DECLARE_METATYPE(Faults)

#endif
