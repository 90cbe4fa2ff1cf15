#include "mirror/mirrordirectory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>
#include <dirent.h>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

const char excludedFile[] = "quorvaneglobal.conf.xml";

// Where file names ignore case, "QuorvaneGlobal.conf.xml" from the master
// would land on the local configuration, so the exclusion must ignore case too.
#if defined(Q_OS_WIN) || defined(Q_OS_DARWIN)
const Qt::CaseSensitivity fileNameCase = Qt::CaseInsensitive;
#else
const Qt::CaseSensitivity fileNameCase = Qt::CaseSensitive;
#endif

void report(const char *what, const QString &path, const QString &reason)
{
    fprintf(stderr, "quorvane-starter: %s %s: %s\n", what,
            path.toLocal8Bit().constData(), reason.toLocal8Bit().constData());
}

// Puts the finished copy in place of the old file in one step.
bool replaceFile(const QString &from, const QString &to)
{
#ifdef Q_OS_WIN
    return MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
                       reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
#else
    return rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
#endif
}

// Copies next to the old file first: if the copy fails (unreadable source,
// full disk), the old file is still there, and no partial copy is left.
int updateFile(const QString &source, const QString &destination)
{
    const QString partial = destination + QLatin1String(".quorvane-new");
    QFile from(source);
    bool done = from.copy(partial);
    QString reason = done ? QString() : qt_error_string();
    if (!done && QFileInfo::exists(partial)) { // left over from an interrupted run
        QFile::remove(partial);
        done = from.copy(partial);
        reason = done ? QString() : qt_error_string();
    }
    if (done && !replaceFile(partial, destination)) {
        reason = qt_error_string();
        QFile::remove(partial);
        done = false;
    }
    if (!done)
        report("cannot update", destination, reason);
    return done ? 0 : 1;
}

// An empty listing may hide a directory that cannot be read.
QString listingError(const QString &path)
{
    DIR *dir = opendir(QFile::encodeName(path).constData());
    if (!dir)
        return qt_error_string();
    closedir(dir);
    return QString();
}

} // namespace

// State of one mirror run, shared by its recursive calls.
struct MirrorWalk
{
    QString lastFileDestination; // set when the walk met lastFile
    QStringList activeDirs;      // canonical paths of the directories being walked
    int failures = 0;
};

int mirrorDirectory(QString source, QString destination, const QString &lastFile, MirrorWalk *walk)
{
    MirrorWalk run;
    const bool topLevel = !walk;
    if (topLevel)
        walk = &run;

    QDir sourceDir(source);
    if (!sourceDir.exists())
        return 0;

    // A link back into the tree, or a destination inside the source, would
    // otherwise make the walk descend without end.
    const QString canonicalSource = QFileInfo(source).canonicalFilePath();
    if (walk->activeDirs.contains(canonicalSource))
        return 0;

    // One level only, and a relative destination is taken from the current directory.
    if (!QDir(destination).exists() && !QDir().mkdir(destination)) {
        report("cannot create directory", destination, qt_error_string());
        ++walk->failures;
    }
    const int activeBefore = walk->activeDirs.size();
    walk->activeDirs << canonicalSource;
    const QString canonicalDestination = QFileInfo(destination).canonicalFilePath();
    if (!canonicalDestination.isEmpty())
        walk->activeDirs << canonicalDestination;

    { // the file listing is let go before the subdirectories are walked
        const QStringList files = sourceDir.entryList(QDir::Files, QDir::NoSort);
        if (files.isEmpty()) {
            const QString error = listingError(source);
            if (!error.isEmpty()) {
                report("cannot read directory", source, error);
                ++walk->failures;
            }
        }
        for (const QString &name : files) {
            if (name.compare(QLatin1String(excludedFile), fileNameCase) == 0)
                continue;
            const QString from = source + QLatin1Char('/') + name;
            const QString to = destination + QLatin1Char('/') + name;
            if (from == lastFile)
                walk->lastFileDestination = to;
            else
                walk->failures += updateFile(from, to);
        }
    }

    const QStringList dirs = sourceDir.entryList(QDir::AllDirs | QDir::NoDot | QDir::NoDotDot, QDir::NoSort);
    for (const QString &name : dirs)
        mirrorDirectory(source + QLatin1Char('/') + name, destination + QLatin1Char('/') + name, lastFile, walk);

    walk->activeDirs.erase(walk->activeDirs.begin() + activeBefore, walk->activeDirs.end());

    // Only a complete update may carry the sign that the installation is current.
    if (topLevel && !run.lastFileDestination.isEmpty() && run.failures == 0)
        run.failures += updateFile(lastFile, run.lastFileDestination);
    return walk->failures;
}
