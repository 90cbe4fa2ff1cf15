#include "mirror/treewalk.h"

#include "mirror/comparison.h"
#include "mirror/copier.h"
#include "mirror/temporarynames.h"
#include "mirror/updatelog.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <cerrno>

namespace {

const char excludedFile[] = "quorvaneglobal.conf.xml";

Qt::CaseSensitivity fileNameCase()
{
    // Where names ignore case, "QuorvaneGlobal.conf.xml" from the master would
    // land on the local configuration, so the exclusion ignores case too.
    return fileops::namesIgnoreCase() ? Qt::CaseInsensitive : Qt::CaseSensitive;
}

QString key(const QString &name)
{
    return fileops::namesIgnoreCase() ? name.toCaseFolded() : name;
}

} // namespace

TreeWalk::TreeWalk(const QString &checkFile, TemporaryNames &names, const Comparison &comparison, Copier &copier)
    : names(names), comparison(comparison), copier(copier)
{
    if (!checkFile.isEmpty()) {
        const QString clean = QDir::cleanPath(checkFile);
        checkDir = clean.contains(QLatin1Char('/')) ? clean.section(QLatin1Char('/'), 0, -2) : QString();
        checkName = clean.section(QLatin1Char('/'), -1);
    }
}

void TreeWalk::run(const QString &source, const QString &destination)
{
    const Identity sourceId = fileops::identity(source);
    ListingPrefetcher listings(source, sourceId);
    prefetcher = &listings;
    walk(source, destination, QString(), sourceId, fileops::identity(destination));
    prefetcher = nullptr;
}

void TreeWalk::noteChange(const FileEntry &entry)
{
    // A file server's clock may be a little ahead of this one's.
    const qint64 skewNs = Q_INT64_C(2000000000);
    const qint64 latest = QDateTime::currentMSecsSinceEpoch() * 1000000 + skewNs;
    for (const qint64 changed : { entry.mtimeNs, entry.changedNs }) {
        if (changed > newestChange && changed <= latest)
            newestChange = changed;
    }
}

void TreeWalk::walk(const QString &source, const QString &destination, const QString &relative,
                    Identity sourceId, Identity destinationId)
{
    // A link back into the tree, or a destination inside the source, would
    // otherwise make the walk descend without end. Directories are known by
    // their identity, which costs nothing per level, however deep.
    if (sourceId.second == 0)
        sourceId = fileops::identity(source);
    if (sourceId.second != 0 && activeDirs.contains(sourceId))
        return;
    Listing master = prefetcher->take(source); // sorted as the walk goes

    Listing target = fileops::listDirectory(destination);
    // One level only; a relative destination is taken from the current directory.
    if (!target.error.isEmpty() && !QFileInfo(destination).isDir()) {
        const QString error = fileops::makeDirectory(destination);
        if (!error.isEmpty()) {
            copier.fail("cannot create directory", destination, error);
        } else {
            copier.changed(destination.section(QLatin1Char('/'), 0, -2));
            destinationId = fileops::identity(destination); // it may lie inside the master
        }
    }
    const int activeBefore = activeDirs.size();
    activeDirs << sourceId;
    if (destinationId.second != 0)
        activeDirs << destinationId;

    struct Subdirectory
    {
        QString name;
        Identity sourceId, destinationId;
    };
    QVector<Subdirectory> subdirs;
    {   // the listings are let go before the subdirectories are walked
        if (!master.error.isEmpty())
            copier.fail("cannot read directory", source, master.error);
        handleFiles(source, destination, relative, master.entries, target.entries);
        // Leftovers of a run that was killed; a file the master has is the master's.
        for (const FileEntry &file : target.entries) {
            if (file.isFile && TemporaryNames::isTemporary(file.name) && !names.isOurs(file.name)
                && std::none_of(master.entries.begin(), master.entries.end(), [&](const FileEntry &m) {
                       return m.name.compare(file.name, fileNameCase()) == 0;
                   }))
                fileops::removeFile(destination + QLatin1Char('/') + file.name);
        }
        QHash<QString, Identity> targetDirs;
        for (const FileEntry &dir : target.entries) {
            if (dir.isDir)
                targetDirs.insert(key(dir.name), Identity(dir.device, dir.inode));
        }
        for (const FileEntry &dir : master.entries) {
            noteChange(dir);
            if (dir.isDir && !dir.hidden && dir.badName)
                copier.fail("cannot read directory", source + QLatin1Char('/') + dir.name, qt_error_string(EILSEQ));
            else if (ListingPrefetcher::isWalked(dir))
                subdirs.append(Subdirectory{ dir.name, Identity(dir.device, dir.inode),
                                             targetDirs.value(key(dir.name)) });
        }
        target = Listing();
        master = Listing();
    }
    for (const Subdirectory &dir : subdirs)
        walk(source + QLatin1Char('/') + dir.name, destination + QLatin1Char('/') + dir.name,
             relative.isEmpty() ? dir.name : relative + QLatin1Char('/') + dir.name, dir.sourceId,
             dir.destinationId);

    activeDirs.erase(activeDirs.begin() + activeBefore, activeDirs.end());
}

void TreeWalk::handleFiles(const QString &source, const QString &destination, const QString &relative,
                           const QVector<FileEntry> &files, const QVector<FileEntry> &targetEntries)
{
    QHash<QString, const FileEntry *> targetFiles;
    for (const FileEntry &file : targetEntries)
        targetFiles.insert(key(file.name), &file);
    // Two master names that differ only in case: the later one wins.
    QHash<QString, int> lastOfName;
    if (fileops::namesIgnoreCase()) {
        for (int i = 0; i < files.size(); ++i)
            lastOfName.insert(key(files[i].name), i);
    }
    const bool inCheckDir = !checkName.isEmpty() && relative.compare(checkDir, fileNameCase()) == 0;

    for (int i = 0; i < files.size(); ++i) {
        const FileEntry &file = files[i];
        if (!file.isDir)
            noteChange(file);
        if (file.hidden || file.isDir)
            continue;
        if (!file.error.isEmpty() || file.badName) {
            copier.fail("cannot read", source + QLatin1Char('/') + file.name,
                        file.badName ? qt_error_string(EILSEQ) : file.error);
            continue;
        }
        if (!file.isFile || file.name.compare(QLatin1String(excludedFile), fileNameCase()) == 0
            || (inCheckDir && file.name.compare(checkName, fileNameCase()) == 0)
            || (relative.isEmpty() && file.name.compare(QLatin1String(UpdateLog::fileName), fileNameCase()) == 0)
            || (!lastOfName.isEmpty() && lastOfName.value(key(file.name)) != i))
            continue;
        const QString to = destination + QLatin1Char('/') + file.name;
        if (comparison.needsCopy(file, targetFiles.value(key(file.name)), to))
            copier.copy(source + QLatin1Char('/') + file.name, to, file);
    }
}
