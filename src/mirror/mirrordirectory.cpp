#include "mirror/mirrordirectory.h"

#include "mirror/copier.h"
#include "mirror/fileops.h"
#include "mirror/treewalk.h"

#include <QDir>
#include <QFileInfo>


namespace {

// The copying pass and the verifying passes after it. A pass that finds
// nothing to copy shows that master and target agree; a master that is still
// being rewritten after this many is left for the next start.
const int maxPasses = 4;

// Puts the check file in place, with everything before it already on disk.
int placeCheckFile(const QString &source, const QString &destination, const QString &checkFile,
                   TemporaryNames &names, const QStringList &written)
{
    const QString clean = QDir::cleanPath(checkFile);
    const QString from = source + QLatin1Char('/') + clean;
    const QString to = destination + QLatin1Char('/') + clean;
    const FileEntry master = fileops::fileEntry(from);
    if (!master.error.isEmpty()) {
        reportFailure("cannot read", from, master.error);
        return 1;
    }
    const FileEntry target = fileops::fileEntry(to);
    if (!needsCopy(master, target.error.isEmpty() ? &target : nullptr))
        return 0;

    fileops::syncFileSystems(written);
    const QString directory = to.section(QLatin1Char('/'), 0, -2);
    const QString temporary = names.in(directory);
    quint64 device = 0;
    QAtomicInteger<qint64> bytes;
    QString error = fileops::copyToNew(from, temporary, master, true, &device, &bytes);
    if (error.isEmpty()) {
        error = fileops::replaceFile(temporary, to, names.in(directory));
        if (!error.isEmpty())
            fileops::removeFile(temporary);
    }
    if (error.isEmpty())
        error = fileops::syncDirectory(directory);
    if (error.isEmpty())
        return 0;
    reportFailure("cannot update", to, error);
    return 1;
}

} // namespace

int mirrorDirectory(const QString &source, const QString &destination, const QString &checkFile)
{
    if (!QFileInfo(source).isDir())
        return 0;

    TemporaryNames names;
    ProgressLine progress;
    QStringList written; // one file on each file system written to
    int failures = 0;
    bool settled = false;
    for (int pass = 0; pass < maxPasses && !settled && failures == 0; ++pass) {
        Copier copier(names, progress);
        TreeWalk(checkFile, names, copier).run(source, destination);
        copier.finish();
        failures = copier.failures();
        settled = copier.copied() == 0;
        written += copier.devicePaths();
    }
    if (settled && failures == 0 && !checkFile.isEmpty())
        failures += placeCheckFile(source, destination, checkFile, names, written);
    progress.erase();
    return failures;
}
