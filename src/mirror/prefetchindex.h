#ifndef PREFETCHINDEX_H
#define PREFETCHINDEX_H

// What a prefetch fetched ahead of the next update: which files wait in the
// prefetch directory, and how the master's entry of each looked as the
// prefetch copied it. A click takes a prefetched copy only where all agree
// with the master as it sees it then.

#include "mirror/disk.h"

#include <QByteArray>
#include <QHash>
#include <QString>

// The prefetch directory, "<target>/.quorvane-prefetch": hidden, one of the
// target's own entries, never copied from the master (whose hidden entries
// are never walked) nor part of the installation. It holds:
//   index      this file
//   lock       held by the prefetch at work (two never both write)
//   partial    the copy being written; never taken by a click
//   files/...  the finished copies, at their paths relative to the target
// No name there matches the pattern of the update's temporaries.
class PrefetchIndex
{
public:
    static const char directoryName[];

    // A master entry as a look saw it.
    struct Seen
    {
        qint64 size = 0;
        qint64 mtimeNs = 0;
        qint64 changedNs = 0;
        uint mode = 0;
        static Seen of(const FileEntry &entry) { return Seen{ entry.size, entry.mtimeNs, entry.changedNs, entry.mode }; }
        bool operator==(const Seen &other) const
        {
            return size == other.size && mtimeNs == other.mtimeNs && changedNs == other.changedNs
                   && mode == other.mode;
        }
    };
    struct Entry
    {
        QString path;  // relative to the target, '/' between names
        Seen before;   // the master's entry before the copy was read ...
        Seen after;    // ... and after
        Identity copy; // the prefetched file's
        qint64 keptSize = 0, keptMtimeNs = 0; // what the copy kept of the master's details
        uint keptMode = 0;

        // Whether the copy is the master's file as now seen: unchanged since
        // before the prefetch read it, by every detail, a change time included.
        bool fits(const FileEntry &masterNow) const
        {
            return masterNow.changedNs != 0 && before == after && after == Seen::of(masterNow);
        }
        // Whether found is the prefetched file, as the prefetch left it.
        bool isCopy(const FileEntry &found, Identity foundId) const
        {
            return foundId == copy && copy.second != 0 && found.isFile && found.size == keptSize
                   && found.mtimeNs == keptMtimeNs && found.mode == keptMode;
        }
    };

    static QString directoryOf(const QString &target);
    static QString filesOf(const QString &target);

    // The index in the target's prefetch directory; empty where there is
    // none or it cannot be read.
    static PrefetchIndex read(const QString &target, Disk &disk);
    // Written whole beside it and put in its place: a kill leaves the old
    // index or the new one.
    FileError write(const QString &target, Disk &disk) const;

    QHash<QString, Entry> entries; // by path

    QByteArray toText() const;
    static PrefetchIndex fromText(const QByteArray &text);
};

#endif
