#ifndef TREEWALK_H
#define TREEWALK_H

#include "mirror/fileops.h"

#include <QPair>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QVector>

#include <deque>
#include <future>
#include <map>

class Comparison;
class Copier;
class TemporaryNames;

// Lists the master's directories ahead of the walk, a few at a time, so that
// a master on a file share answers many requests at once instead of one
// after another. Only a few listings wait at any time.
class ListingPrefetcher
{
public:
    ListingPrefetcher();
    ~ListingPrefetcher();
    // Directories the walk will visit next, in the order it will visit them.
    void expect(const QStringList &paths);
    Listing take(const QString &path);

private:
    void startMore();

    QThreadPool pool;
    std::deque<QString> expected;
    std::map<QString, std::future<Listing>> started;
};

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
    using Identity = QPair<quint64, quint64>; // device and inode, or volume and file index

    void walk(const QString &source, const QString &destination, const QString &relative, Identity sourceId,
              Identity destinationId);
    void handleFiles(const QString &source, const QString &destination, const QString &relative,
                     const QVector<FileEntry> &files, const QVector<FileEntry> &targetEntries);
    void noteChange(const FileEntry &entry);

    TemporaryNames &names;
    const Comparison &comparison;
    Copier &copier;
    ListingPrefetcher prefetcher;
    QString checkDir, checkName;
    QVector<Identity> activeDirs; // the directories being walked, master's and target's
    qint64 newestChange = 0;
};

#endif
