#ifndef PLAN_H
#define PLAN_H

// The update's first phase: what to do, directory by directory. On its walk
// it also makes the directories the target lacks (copies need a place to
// wait in) and removes the temporaries that killed runs left.

#include "mirror/disk.h"
#include "mirror/listingprefetcher.h"
#include "mirror/mirroroptions.h"

#include <QCryptographicHash>
#include <QString>
#include <QStringList>
#include <QVector>

#include <QSet>

#include <functional>

class Comparison;
class Disk;
class StagedFiles;
class TemporaryNames;

// Something that could not be read or updated, for its line.
struct Failure
{
    const char *what; // "cannot read", ...
    QString path;
    FileError reason;
};

// What one directory of the target needs, in the order the walk met it.
struct DirectoryPlan
{
    struct Copy
    {
        FileEntry master;
        bool replacing; // the target has a file of that name now
        int restaged;   // the copy of it staged by an earlier pass (-1: none)
    };
    QString master, target;
    QVector<Copy> copies;
    // Each comes before copies[position] (or after them all).
    QVector<QPair<int, Failure>> failures;
};

// One pass over the master tree, deciding what the update does: creates
// the directories the target lacks and finds every file that differs from
// the target's (or from the copy already staged to replace it), in listing
// order, by the rules for names: hidden entries, the local configuration,
// the starter's own files and the check file (which goes in last) are left
// out, and where names ignore case the later of two master names wins.
// It hands its decisions over directory by directory, so that copying
// overlaps the walk. It also notes how the master looked, so that two
// passes tell whether it changed.
class Plan
{
public:
    using Each = std::function<void(const DirectoryPlan &)>;
    Plan(const MirrorOptions &options, Disk &disk, TemporaryNames &names, const Comparison &comparison,
         const StagedFiles &staged);
    void run(const QString &master, const QString &target, const Each &each);
    // Every entry of the master as this pass saw it: equal for two passes
    // exactly when neither saw an entry, size, time or permission the other did not.
    QByteArray look() const { return lookHash.result(); }
    // The latest time an entry of the master changed, as its times tell
    // (by the master's clock); 0 when none did.
    qint64 newestChangeNs() const { return newestChange; }
    // The directories that got a new subdirectory: their entries must reach the disk too.
    const QSet<QString> &grownDirectories() const { return grown; }
    // Whether name, in the directory relative to the tops of both trees, is
    // the workstation's own and never copied: the local configuration, or
    // one of the starter's own files.
    static bool isOwnFile(const MirrorOptions &options, const QString &relative, const QString &name);

    // The directories this pass made in the target, each after the one it
    // lies in, with the identity each had when made.
    const QVector<QPair<QString, Identity>> &madeDirectories() const { return made; }

private:
    struct Subdirectory
    {
        QString name;
        Identity masterId, targetId;
    };

    void walk(const QString &master, const QString &target, const QString &relative, Identity masterId,
              Identity targetId);
    QVector<Subdirectory> planDirectory(const QString &master, const QString &target, const QString &relative,
                                        Identity masterId, Identity targetId);
    QVector<Subdirectory> subdirectories(DirectoryPlan *plan, const QVector<FileEntry> &masterEntries,
                                         const QVector<FileEntry> &targetEntries);
    void planFiles(DirectoryPlan *plan, const QString &relative, const QVector<FileEntry> &files,
                   const QVector<FileEntry> &targetEntries);
    bool leftOut(const QString &relative, bool inCheckDir, const FileEntry &file, int index,
                 const QHash<QString, int> &lastOfName) const;
    void removeLeftovers(const QString &target, const QVector<FileEntry> &masterEntries,
                         const QVector<FileEntry> &targetEntries);
    void note(const QString &relative, const FileEntry &entry);

    const MirrorOptions options;
    Disk &disk;
    TemporaryNames &names;
    const Comparison &comparison;
    const StagedFiles &staged;
    Each each;
    QSet<QString> grown;
    QVector<QPair<QString, Identity>> made;
    ListingPrefetcher *prefetcher = nullptr;
    QString checkDir, checkName;
    QVector<Identity> activeDirs; // the directories being walked, master's and target's
    qint64 newestChange = 0;
    QCryptographicHash lookHash{ QCryptographicHash::Md5 };
};

#endif
