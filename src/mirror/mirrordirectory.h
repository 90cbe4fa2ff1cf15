#ifndef MIRRORDIRECTORY_H
#define MIRRORDIRECTORY_H

// The update of a target tree from the master tree, phase by phase.

#include "mirror/mirroroptions.h"

#include <QString>

// What an update did, for its closing line.
struct MirrorSummary
{
    enum Ending {
        Complete,
        Incomplete,           // something failed: nothing went in, or it was taken back out
        MasterChanging,       // the master did not come to rest: nothing went in
        CheckFileNotDurable,  // all in place, but the check file's directory failed to sync
        CheckFileNeverCopied, // all in place but the check file, a file of the workstation's own
    };
    int copied = 0;         // files put in place
    qint64 bytes = 0;       // in them
    Ending ending = Complete;
    // Incomplete only: -1 where nothing had begun to go in; else how many
    // new files stayed in (0: all were taken back out).
    int stayedIn = -1;
};

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
// target as it was. It goes in phases, each in a file of its own: plan
// (plan.h), stage (stage.h), durable (durable.h), then commit (commit.h).
//
// Every entry that could not be read or updated is reported on standard
// error, one line each; the return value is how many there were. summary,
// where given, receives what was done.
int mirrorDirectory(const QString &master, const QString &target, const MirrorOptions &options = MirrorOptions(),
                    MirrorSummary *summary = nullptr);

#endif
