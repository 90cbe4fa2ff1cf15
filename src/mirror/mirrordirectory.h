#ifndef MIRRORDIRECTORY_H
#define MIRRORDIRECTORY_H

#include <QString>
#include <QStringList>

// Brings the target tree up to date with the master tree: every file of the
// master that the target lacks, or has with another size, time or
// permissions, is copied, and the directories it needs are created. Hidden
// and special entries and the local configuration "quorvaneglobal.conf.xml"
// are never copied, and nothing is deleted except a file being replaced.
//
// The copies wait beside the files they replace until the whole master has
// been copied and found at rest (two looks at it, a quiet second apart where
// it may have been written lately, see nothing change); only then do they
// all go in, and then the check file, the file that tells the next start
// whether an update is still due. An update that cannot finish leaves the
// target as it was.
//
// Every entry that could not be read or updated is reported on standard
// error, one line each; the return value is how many there were. summary,
// where given, receives what was done.
class Disk;
class Report;

struct MirrorOptions
{
    QString checkFile;            // relative to both trees
    QStringList ownFiles;         // the target's own files at its top, never copied over
    bool removeLeftovers = true;  // of killed runs: only where no other run may be at work
    const Report *report = nullptr; // where lines go (null: standard error alone)
    Disk *disk = nullptr;           // the calls that change the target (null: the system's)
};

struct MirrorSummary
{
    enum Ending {
        Complete,
        Incomplete,           // something failed: nothing went in
        MasterChanging,       // the master did not come to rest: nothing went in
        CheckFileNotDurable,  // all in place, but the check file's directory failed to sync
    };
    int copied = 0;         // files put in place
    qint64 bytes = 0;       // in them
    Ending ending = Complete;
    // Incomplete only: -1 where nothing had begun to go in; else how many
    // new files stayed in (0: all were taken back out).
    int stayedIn = -1;
};

int mirrorDirectory(const QString &master, const QString &target, const MirrorOptions &options = MirrorOptions(),
                    MirrorSummary *summary = nullptr);

#endif
