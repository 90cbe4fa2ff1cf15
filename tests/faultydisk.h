#ifndef FAULTYDISK_H
#define FAULTYDISK_H

#include "mirror/disk.h"

#include <QMetaType>
#include <QMutex>
#include <QRegularExpression>
#include <QVector>

// A Disk that fails the calls a test names and makes every other as the
// system does, on real directories: the update's own code meets the fault.
// The update makes its calls on several threads, so a fault is named by the
// path it changes (a rename's destination), not by the order of all calls.
class FaultyDisk : public Disk
{
public:
    enum Call { Copy, MakeDirectory, KeepOld, MoveAside, Replace, Remove, SyncDirectory };
    struct Fault
    {
        Call call;
        QString path;   // a pattern the changed path matches
        int nth;        // the first matching call that fails (1: the first)
        int times;      // how many in a row fail (0: all from the nth on)
        int error;      // errno
        bool busy;      // as another program holding the file would
    };

    void fail(const Fault &fault);

    CopyOutcome copyToNew(const QString &source, const QString &temporary, const FileEntry &master,
                          QAtomicInteger<qint64> *copiedBytes) override;
    QString makeDirectory(const QString &path) override;
    FileResult keepOld(const QString &path, const QString &kept) override;
    FileResult moveAside(const QString &path, const QString &aside) override;
    FileResult replaceFile(const QString &from, const QString &to) override;
    FileResult removeFile(const QString &path) override;
    QString syncDirectory(const QString &path) override;

private:
    struct Armed
    {
        Fault fault;
        QRegularExpression path;
        int seen;
    };
    // The injected failure for this call, if any.
    bool faulty(Call call, const QString &path, FileResult *result);

    QMutex mutex;
    QVector<Armed> faults;
};

using Faults = QVector<FaultyDisk::Fault>;
Q_DECLARE_METATYPE(Faults)

#endif
