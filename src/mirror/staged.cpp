#include "mirror/staged.h"

#include "mirror/temporarynames.h"

void StagedFiles::add(const QString &directory, const QString &name, quint64 temporary, bool replacing,
                      const FileEntry &kept)
{
    int d = directoryIndex.value(directory, -1);
    if (d < 0) {
        d = directories.size();
        directories.append(Directory{ directory, kept.device, QHash<QString, int>() });
        directoryIndex.insert(directory, d);
    }
    const File file{ d, name, temporary, replacing, kept.size, kept.mtimeNs, kept.mode };
    const int known = directories[d].files.value(name, -1);
    if (known >= 0) { // copied again: the master changed since the earlier copy
        fileops::removeFile(temporaryOf(known));
        files[known] = file;
        return;
    }
    directories[d].files.insert(name, files.size());
    files.append(file);
}

bool StagedFiles::find(const QString &directory, const QString &name, FileEntry *copy) const
{
    const int d = directoryIndex.value(directory, -1);
    const int i = d < 0 ? -1 : directories.at(d).files.value(name, -1);
    if (i < 0)
        return false;
    const File &file = files.at(i);
    copy->isFile = true;
    copy->size = file.size;
    copy->mtimeNs = file.mtimeNs;
    copy->device = directories.at(d).device;
    copy->mode = file.mode;
    return true;
}

QString StagedFiles::temporaryOf(int i) const
{
    return names.at(directoryOf(i), files.at(i).temporary);
}

void StagedFiles::clear()
{
    files.clear();
    directories.clear();
    directoryIndex.clear();
}

void StagedFiles::discard()
{
    for (int i = 0; i < files.size(); ++i)
        fileops::removeFile(temporaryOf(i));
    clear();
}
