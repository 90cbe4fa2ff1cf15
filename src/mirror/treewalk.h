#ifndef TREEWALK_H
#define TREEWALK_H

#include "mirror/fileops.h"
#include "mirror/listingprefetcher.h"

#include <QString>
#include <QVector>

class Comparison;
class Copier;
class TemporaryNames;

// One pass over the master tree: creates the directories the target lacks
// and hands every file that differs to the copier, in listing order.
class TreeWalk
{
public:
    // checkFile, relative to both trees, is left out: it goes in last.
    TreeWalk(const QString &checkFile, TemporaryNames &names, const Comparison &comparison, Copier &copier);
    void run(const QString &source, const QString &destination);
    // The latest time an entry of the master changed, as far as its times
    // tell (times more than a moment ahead of this clock are taken for
    // another clock's, and left out); 0 when none did.
    qint64 newestChangeNs() const { return newestChange; }

private:
    using Identity = ListingPrefetcher::Identity;

    void walk(const QString &source, const QString &destination, const QString &relative, Identity sourceId,
              Identity destinationId);
    void handleFiles(const QString &source, const QString &destination, const QString &relative,
                     const QVector<FileEntry> &files, const QVector<FileEntry> &targetEntries);
    void noteChange(const FileEntry &entry);

    TemporaryNames &names;
    const Comparison &comparison;
    Copier &copier;
    ListingPrefetcher *prefetcher = nullptr;
    QString checkDir, checkName;
    QVector<Identity> activeDirs; // the directories being walked, master's and target's
    qint64 newestChange = 0;
};

#endif
