#ifndef MIRRORDIRECTORY_H
#define MIRRORDIRECTORY_H

#include <QString>

struct MirrorWalk;

// Copies every file of the source tree over the destination tree, creating the
// directories it needs. Hidden and special entries and the local configuration
// "quorvaneglobal.conf.xml" are never copied, and nothing is deleted except a
// file that is being replaced. A file is replaced only once its new copy is
// complete, so a failed copy leaves the old file as it was.
//
// lastFile, a source path as the caller built it (source + "/" + name), is held
// back and put in place only after every other file and directory was updated:
// it is the file that tells the next start whether an update is still due.
//
// Every file or directory that could not be updated is reported on standard
// error; the return value is how many there were. walk is for the recursion.
int mirrorDirectory(QString source, QString destination,
                    const QString &lastFile = QString(), MirrorWalk *walk = nullptr);

#endif
