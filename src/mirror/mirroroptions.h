#ifndef MIRROROPTIONS_H
#define MIRROROPTIONS_H

#include <QString>
#include <QStringList>

class Disk;
class Report;

// How an update of the target goes about its work.
struct MirrorOptions
{
    QString checkFile;            // relative to both trees
    QStringList ownFiles;         // the target's own files at its top, never copied over
    bool removeLeftovers = true;  // of killed runs: only where no other run may be at work
    bool makeDirectories = true;  // the target lacks (false: a plan that changes nothing, a prefetch's)
    const Report *report = nullptr; // where lines go (null: standard error alone)
    Disk *disk = nullptr;           // the calls that change the target (null: the system's)
};

#endif
