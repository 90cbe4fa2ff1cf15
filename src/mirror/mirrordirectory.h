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
    // Incomplete only: old versions that could not be put back, kept under
    // hidden names for the next start to put back.
    int keptHidden = 0;
};

// Brings the target tree up to date with the master tree: every file of the
// master that the target lacks, or has with another size, time or
// permissions, is copied, and the directories it needs are created. Hidden
// and special entries and the local configuration "quorvaneglobal.conf.xml"
// are never copied, and nothing is deleted except a file being replaced.
//
// It goes in passes over the master until the master is at rest (two looks
// at it, a quiet second apart where it may have been written lately, see
// nothing change), then commits. Each pass plans (plan.h: the walk, which
// makes the directories the target lacks and removes killed runs'
// temporaries) and stages (stage.h: copies onto temporaries beside the
// files they replace, put on disk a batch at a time by durable.h). Only
// once the master is at rest does the commit (commit.h) put every copy in,
// and then the check file, the file that tells the next start whether an
// update is still due. An update that cannot finish takes back out what
// went in.
//
// Every entry that could not be read or updated is reported on standard
// error, one line each; the return value is how many there were. summary,
// where given, receives what was done.
int mirrorDirectory(const QString &master, const QString &target, const MirrorOptions &options = MirrorOptions(),
                    MirrorSummary *summary = nullptr);

#endif
