#ifndef TREEWALK_H
#define TREEWALK_H

#include "mirror/fileops.h"

#include <QString>
#include <QStringList>
#include <QThreadPool>

#include <deque>
#include <future>
#include <map>

class Copier;
class TemporaryNames;

// Whether the target's file (null: none of that name) must be brought up to
// date from the master's: it differs in kind, size, time or permissions.
bool needsCopy(const FileEntry &master, const FileEntry *target);

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
    TreeWalk(const QString &checkFile, TemporaryNames &names, Copier &copier);
    void run(const QString &source, const QString &destination);

private:
    void walk(const QString &source, const QString &destination, const QString &relative);
    void handleFiles(const QString &source, const QString &destination, const QString &relative,
                     const QVector<FileEntry> &files, const QVector<FileEntry> &targetEntries);

    TemporaryNames &names;
    Copier &copier;
    ListingPrefetcher prefetcher;
    QString checkDir, checkName;
    QStringList activeDirs; // canonical paths of the directories being walked
};

#endif
