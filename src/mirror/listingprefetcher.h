#ifndef LISTINGPREFETCHER_H
#define LISTINGPREFETCHER_H

#include "mirror/disk.h"

#include <QHash>
#include <QMutex>
#include <QString>
#include <QThreadPool>
#include <QVector>
#include <QWaitCondition>

#include <map>
#include <vector>

// Lists the master's directories ahead of the walk, in the order the walk
// will want them, on a few threads: a master on a file share then answers
// many requests at once instead of one after another, in wide trees and deep
// ones alike. As soon as a directory is listed, its subdirectories join the
// queue in their place, so that the threads always work on what the walk
// needs next. Only a bounded number of listings waits to be taken, so a
// link back up the tree (which the walk does not enter) costs at most that
// many listings ahead, never a loop.
class ListingPrefetcher
{
public:
    ListingPrefetcher(const QString &root, Disk &disk);
    ~ListingPrefetcher();

    // The listing of a directory of the tree, sorted as the walk goes
    // through it. Directories the walk passed over are let go.
    Listing take(const QString &path);

    // The order the walk takes entries in, and which directories it enters.
    static void sortForWalk(QVector<FileEntry> *entries);
    static bool isWalked(const FileEntry &entry) { return entry.isDir && !entry.hidden && !entry.badName; }

private:
    using Order = std::vector<int>; // indices from the root down: depth-first order
    enum class State { Waiting, Listing, Listed };
    struct Node
    {
        QString path;
        State state = State::Waiting;
        Listing listing;
    };
    class Worker;

    void work();
    void addListing(const Order &order, Listing listing);
    void dropBefore(const Order &order);

    Disk &disk;
    QMutex mutex;
    QWaitCondition workToDo; // for the threads
    QWaitCondition listingDone; // for the walk
    std::map<Order, Node> nodes; // known and not yet taken, in walk order
    QHash<QString, Order> orderOf;
    int listedCount = 0; // nodes listed and waiting to be taken
    bool stopping = false;
    QThreadPool pool;
};

#endif
