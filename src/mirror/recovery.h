#ifndef RECOVERY_H
#define RECOVERY_H

// A commit cut short (a kill, a closed console, a power cut) finished or
// taken back out by a later start, from the record the commit left
// (commitrecord.h) and the names on disk, before anything else is done.

#include "mirror/busyretry.h"
#include "mirror/commitrecord.h"
#include "mirror/temporarynames.h"

#include <QSet>
#include <QString>

class Disk;
class Report;

// The undo in a room of its own, which lists what it meets. A check file
// with the new details means the commit was complete: the old versions'
// second names go, once the check file is known to be on disk. Otherwise
// every file that went in is taken back out (its old version put back from
// its second name, a new file removed), and a check file found only under
// its hidden name is put back, so that the installation is all old before
// any update begins. The record goes once every name is settled; what
// cannot be settled is said, and the record stays for the next start.
// Only for a starter that holds the update lock.
class Recovery
{
public:
    struct Outcome
    {
        bool settled = true; // nothing left: an update may begin
        QString line;        // what was done, for one line ("": no record there)
    };

    Recovery(const QString &target, Disk &disk, const Report &report);
    // Whether a commit left its record: one look.
    static bool recordIn(const QString &target, Disk &disk);
    Outcome run();

private:
    Outcome settleFrom(const QByteArray &text);
    bool checkFileIsNew() const;
    bool finish();
    int takeBackOut();
    bool takeBack(const CommitRecord::File &file);
    bool putBack(const QString &kept, const QString &installed);
    void removeRunsNames();
    QString pathOf(const CommitRecord::File &file) const;
    QString nameOf(const CommitRecord::File &file, quint64 number) const;
    bool exists(const QString &path) const;
    void cannot(const QString &line);

    const QString target;
    const QString recordPath;
    Disk &disk;
    const Report &report;
    CommitRecord record;
    TemporaryNames cut{ QString() }; // the names of the run that was cut short
    TemporaryNames own;              // names of this one's, for a new file moved aside
    BusyRetry retry;
    QSet<QString> keep; // names still needed: an old version not put back
    bool settled = true;
};

#endif
