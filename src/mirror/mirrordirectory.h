#ifndef MIRRORDIRECTORY_H
#define MIRRORDIRECTORY_H

#include <QString>

// Brings the destination tree up to date with the source tree: every file of
// the source that the destination lacks, or has with another size, time or
// permissions, is copied, and the directories it needs are created. Hidden
// and special entries and the local configuration "quorvaneglobal.conf.xml"
// are never copied, and nothing is deleted except a file being replaced. A
// file is replaced only once its new copy is complete and on disk, so a
// failed copy leaves the old file as it was.
//
// checkFile, relative to both trees, is the file that tells the next start
// whether an update is still due. It is put in place last, and only when
// every other entry was brought over and the source stood still meanwhile
// (a source still changing after a few verifying passes keeps it back too).
//
// Every entry that could not be read or updated is reported on standard
// error, one line each; the return value is how many there were. summary,
// where given, receives what was done.
struct MirrorSummary
{
    int copied = 0;         // files
    qint64 bytes = 0;       // in them
    bool settled = false;   // the master came to rest (the check file went in where nothing failed)
};
int mirrorDirectory(const QString &source, const QString &destination,
                    const QString &checkFile = QString(), MirrorSummary *summary = nullptr);

#endif
