#include "mirror/staged.h"

#include "mirror/temporarynames.h"

namespace {

// Where names ignore case, two that differ only in case are one file.
QString nameKey(const QString &name)
{
    return namesIgnoreCase() ? name.toCaseFolded() : name;
}

} // namespace

void StagedFiles::add(const QString &directory, const QString &name, quint64 temporary, bool replacing,
                      const FileEntry &kept, int replaces)
{
    int d = directoryIndex.value(directory, -1);
    if (d < 0) {
        d = directories.size();
        directories.append(Directory{ directory, kept.device, QVector<int>(), QString() });
        directoryIndex.insert(directory, d);
    }
    File file{ temporary, kept.size, kept.mtimeNs, d, 0, quint16(name.size()), quint16(kept.mode), replacing };
    if (replaces >= 0) { // the same name, in the same directory
        disk.removeFile(temporaryOf(replaces));
        file.nameAt = files[replaces].nameAt;
        files[replaces] = file;
        return;
    }
    Directory &in = directories[d];
    file.nameAt = in.names.size();
    in.names += name;
    in.files.append(int(files.size()));
    files.push_back(file);
}

StagedFiles::InDirectory StagedFiles::in(const QString &directory) const
{
    InDirectory waiting;
    waiting.staged = this;
    const int d = directoryIndex.value(directory, -1);
    if (d >= 0) {
        for (const int i : directories.at(d).files)
            waiting.byName.insert(nameKey(nameOf(i)), i);
    }
    return waiting;
}

int StagedFiles::InDirectory::find(const QString &name, FileEntry *copy) const
{
    const int i = byName.value(nameKey(name), -1);
    if (i < 0)
        return i;
    const File &file = staged->files.at(i);
    copy->isFile = true;
    copy->size = file.size;
    copy->mtimeNs = file.mtimeNs;
    copy->device = staged->directories.at(file.directory).device;
    copy->mode = file.mode;
    return i;
}

QString StagedFiles::nameOf(int i) const
{
    const File &file = files.at(i);
    return directories.at(file.directory).names.mid(file.nameAt, file.nameLength);
}

QString StagedFiles::temporaryOf(int i) const
{
    return names.at(directoryOf(i), files.at(i).temporary);
}

QStringList StagedFiles::directoryPaths() const
{
    QStringList paths;
    for (const Directory &directory : directories)
        paths << directory.path;
    return paths;
}

void StagedFiles::clear()
{
    files.clear();
    directories.clear();
    directoryIndex.clear();
}

void StagedFiles::discard()
{
    for (int i = 0; i < size(); ++i)
        disk.removeFile(temporaryOf(i));
    clear();
}
