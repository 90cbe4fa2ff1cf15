#ifndef TREEWALK_H
#define TREEWALK_H

#include "mirror/fileops.h"
#include "mirror/listingprefetcher.h"
#include "mirror/mirrordirectory.h"

#include <QCryptographicHash>
#include <QString>
#include <QStringList>
#include <QVector>

class Comparison;
class Copier;
class TemporaryNames;

// One pass over the master tree: creates the directories the target lacks
// and hands every file that differs from the target's (or from the copy
// already waiting to replace it) to the copier, in listing order. It also
// notes how the master looked, so that two passes tell whether it changed.
class TreeWalk
{
public:
    // The check file is left out: it goes in last.
    TreeWalk(const MirrorOptions &options, TemporaryNames &names, const Comparison &comparison, Copier &copier);
    void run(const QString &master, const QString &target);
    // Every entry of the master as this pass saw it: equal for two passes
    // exactly when neither saw an entry, size, time or permission the other did not.
    QByteArray look() const { return lookHash.result(); }
    // The latest time an entry of the master changed, as its times tell
    // (by the master's clock); 0 when none did.
    qint64 newestChangeNs() const { return newestChange; }

private:
    using Identity = QPair<quint64, quint64>; // as fileops::identity tells it

    void walk(const QString &master, const QString &target, const QString &relative, Identity masterId,
              Identity targetId);
    void handleFiles(const QString &master, const QString &target, const QString &relative,
                     const QVector<FileEntry> &files, const QVector<FileEntry> &targetEntries);
    void removeLeftovers(const QString &target, const QVector<FileEntry> &masterEntries,
                         const QVector<FileEntry> &targetEntries);
    void note(const QString &relative, const FileEntry &entry);

    const MirrorOptions options;
    TemporaryNames &names;
    const Comparison &comparison;
    Copier &copier;
    ListingPrefetcher *prefetcher = nullptr;
    QString checkDir, checkName;
    QVector<Identity> activeDirs; // the directories being walked, master's and target's
    qint64 newestChange = 0;
    QCryptographicHash lookHash{ QCryptographicHash::Md5 };
};

#endif
