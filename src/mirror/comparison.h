#ifndef COMPARISON_H
#define COMPARISON_H

#include "mirror/disk.h"

#include <QHash>
#include <QSet>
#include <QString>

// Decides whether a target file must be brought up to date from the master's:
// it differs in kind, size, time or permissions, as far as the target's file
// system can hold them. A FAT or exFAT disk keeps coarser times and no
// permissions, and a time beyond its range not at all: what the target kept
// of a copy made in this run counts as the master's, so that an update
// always comes to rest.
class Comparison
{
public:
    // target null: the target has no file of that name.
    bool needsCopy(const FileEntry &master, const FileEntry *target, const QString &targetPath) const;

    // What the target kept of the master's file copied to targetPath.
    void copied(const QString &targetPath, const FileEntry &master, const FileEntry &kept);
    // A file system whose permissions are not compared.
    void ignorePermissionsOn(quint64 device) { devicesWithoutPermissions.insert(device); }

private:
    struct Copy
    {
        qint64 masterMtimeNs;
        uint masterMode;
        qint64 keptMtimeNs;
        uint keptMode;
    };
    QHash<QString, Copy> copies;
    QSet<quint64> devicesWithoutPermissions;
};

#endif
