#include "mirror/listingprefetcher.h"

#include <QMutexLocker>

#include <algorithm>

namespace {

// Enough requests in flight to hide a file share's latency (through a master
// adding 1 ms to each request, 16 walked a tree a quarter faster than 8) ...
const int listingThreads = 16;
// ... and enough listings ready that the walk seldom waits, while the
// memory they hold stays small.
const int maxListed = 32;

// By name ignoring case, as directory listings are usually shown.
bool listingOrder(const FileEntry &a, const FileEntry &b)
{
    const int order = a.name.compare(b.name, Qt::CaseInsensitive);
    return order != 0 ? order < 0 : a.name < b.name;
}

Listing listSorted(Disk &disk, const QString &path)
{
    Listing listing = disk.listDirectory(path);
    ListingPrefetcher::sortForWalk(&listing.entries);
    return listing;
}

} // namespace

class ListingPrefetcher::Worker : public QRunnable
{
public:
    explicit Worker(ListingPrefetcher *prefetcher) : prefetcher(prefetcher) {}
    void run() override { prefetcher->work(); }

private:
    ListingPrefetcher *prefetcher;
};

ListingPrefetcher::ListingPrefetcher(const QString &root, Disk &disk) : disk(disk)
{
    Node node;
    node.path = root;
    nodes.emplace(Order(), std::move(node));
    orderOf.insert(root, Order());
    pool.setMaxThreadCount(listingThreads);
    for (int i = 0; i < listingThreads; ++i)
        pool.start(new Worker(this));
}

ListingPrefetcher::~ListingPrefetcher()
{
    {
        QMutexLocker lock(&mutex);
        stopping = true;
        workToDo.wakeAll();
    }
    pool.waitForDone();
}

void ListingPrefetcher::sortForWalk(QVector<FileEntry> *entries)
{
    std::sort(entries->begin(), entries->end(), listingOrder);
}

void ListingPrefetcher::work()
{
    QMutexLocker lock(&mutex);
    while (!stopping) {
        // The first directory in walk order that nobody lists yet.
        auto next = nodes.end();
        if (listedCount < maxListed)
            next = std::find_if(nodes.begin(), nodes.end(),
                                [](const std::pair<const Order, Node> &n) { return n.second.state == State::Waiting; });
        if (next == nodes.end()) {
            workToDo.wait(&mutex);
            continue;
        }
        next->second.state = State::Listing;
        const Order order = next->first;
        const QString path = next->second.path;
        lock.unlock();
        Listing listing = listSorted(disk, path);
        lock.relock();
        addListing(order, std::move(listing));
    }
}

void ListingPrefetcher::addListing(const Order &order, Listing listing)
{
    const auto node = nodes.find(order);
    if (node == nodes.end())
        return; // the walk passed it over meanwhile
    for (int i = 0; i < listing.entries.size(); ++i) {
        const FileEntry &entry = listing.entries[i];
        if (!isWalked(entry))
            continue;
        Order childOrder = order;
        childOrder.push_back(i);
        Node child;
        child.path = node->second.path + QLatin1Char('/') + entry.name;
        orderOf.insert(child.path, childOrder);
        nodes.emplace(std::move(childOrder), std::move(child));
        workToDo.wakeOne();
    }
    node->second.listing = std::move(listing);
    node->second.state = State::Listed;
    ++listedCount;
    listingDone.wakeAll();
}

void ListingPrefetcher::dropBefore(const Order &order)
{
    const int listedBefore = listedCount;
    while (!nodes.empty() && nodes.begin()->first < order) {
        if (nodes.begin()->second.state == State::Listed)
            --listedCount;
        orderOf.remove(nodes.begin()->second.path);
        nodes.erase(nodes.begin());
    }
    if (listedCount < listedBefore)
        workToDo.wakeAll(); // room for more
}

Listing ListingPrefetcher::take(const QString &path)
{
    QMutexLocker lock(&mutex);
    const auto known = orderOf.constFind(path);
    if (known == orderOf.constEnd()) {
        lock.unlock();
        return listSorted(disk, path);
    }
    const Order order = *known;
    // The walk goes in this order: what lies before was passed over.
    dropBefore(order);
    auto node = nodes.find(order);
    if (node->second.state == State::Waiting) { // the threads are busy: no need to wait for them
        node->second.state = State::Listing;
        lock.unlock();
        Listing listing = listSorted(disk, path);
        lock.relock();
        addListing(order, std::move(listing));
        node = nodes.find(order);
    }
    while (node->second.state != State::Listed) {
        listingDone.wait(&mutex);
        node = nodes.find(order);
    }
    Listing listing = std::move(node->second.listing);
    nodes.erase(node);
    orderOf.remove(path);
    --listedCount;
    workToDo.wakeOne(); // room for one more
    return listing;
}
