#include "mirror/recovery.h"

#include "mirror/disk.h"
#include "mirror/report.h"

#include <QStringList>

#include <algorithm>

Recovery::Recovery(const QString &target, Disk &disk, const Report &report)
    : target(target), recordPath(target + QLatin1Char('/') + QLatin1String(CommitRecord::fileName)), disk(disk),
      report(report)
{
}

bool Recovery::recordIn(const QString &target, Disk &disk)
{
    return !disk.fileEntry(target + QLatin1Char('/') + QLatin1String(CommitRecord::fileName)).error.failed();
}

Recovery::Outcome Recovery::run()
{
    QByteArray text;
    const FileError error = disk.readOwnFile(recordPath, &text);
    if (error.kind() == FileError::Gone)
        return Outcome(); // settled meanwhile by the starter that held the lock
    if (error.failed()) {
        report.failure("cannot read", recordPath, error);
        return Outcome{ false, QStringLiteral("could not settle an update that was cut short: %1; "
                                              "no update until it is").arg(shownPath(target)) };
    }
    return settleFrom(text);
}

Recovery::Outcome Recovery::settleFrom(const QByteArray &text)
{
    switch (CommitRecord::fromText(text, &record)) {
    case CommitRecord::Torn:
        // Never on disk whole: its commit had not begun. Its copies are a
        // killed run's temporaries, which the next update removes.
        disk.removeFile(recordPath);
        return Outcome{ true, QStringLiteral("an update was cut short before anything went in: %1; "
                                             "its unfinished record removed").arg(shownPath(target)) };
    case CommitRecord::OtherVersion:
        return Outcome{ false, QStringLiteral("cannot read %1: written by another version of the starter; "
                                              "no update until it is settled").arg(shownPath(recordPath)) };
    case CommitRecord::Whole:
        break;
    }
    cut = TemporaryNames(record.prefix);
    const bool complete = record.hasCheck && checkFileIsNew();
    const int files = complete ? (finish() ? record.files.size() + 1 : 0) : takeBackOut();
    if (settled)
        disk.removeFile(recordPath);
    const QString shown = shownPath(target);
    if (!settled)
        return Outcome{ false, QStringLiteral("could not settle an update that was cut short: %1; "
                                              "the next start tries again").arg(shown) };
    return Outcome{ true, complete ? QStringLiteral("finished an update that was cut short: %1 files in %2")
                                         .arg(files).arg(shown)
                                   : QStringLiteral("took back out an update that was cut short: %1 files in %2")
                                         .arg(files).arg(shown) };
}

QString Recovery::pathOf(const CommitRecord::File &file) const
{
    return target + QLatin1Char('/') + file.path;
}

QString Recovery::nameOf(const CommitRecord::File &file, quint64 number) const
{
    return cut.at(pathOf(file).section(QLatin1Char('/'), 0, -2), number);
}

bool Recovery::exists(const QString &path) const
{
    return !disk.fileEntry(path).error.failed();
}

void Recovery::cannot(const QString &line)
{
    report.line(line);
    settled = false;
}

// The new check file went in by one rename, its temporary's name gone with
// it, and carries the new details (an update's copy differs from the file it
// replaces in size, time or permissions).
bool Recovery::checkFileIsNew() const
{
    if (exists(nameOf(record.check, record.check.temporary)))
        return false;
    const FileEntry installed = disk.fileEntry(pathOf(record.check));
    return !installed.error.failed() && installed.size == record.check.size
           && installed.mtimeNs == record.check.mtimeNs && installed.mode == record.check.mode;
}

// Complete: the old versions go once the check file is known to be on disk.
bool Recovery::finish()
{
    const QString directory = pathOf(record.check).section(QLatin1Char('/'), 0, -2);
    const FileError error = disk.syncDirectory(directory);
    if (error.failed()) {
        report.failure("cannot update", directory, error);
        settled = false;
        return false;
    }
    removeRunsNames();
    return true;
}

// Every file that went in out again; how many were.
int Recovery::takeBackOut()
{
    const QString check = pathOf(record.check), checkAside = nameOf(record.check, record.check.kept);
    if (record.hasCheck && !exists(check) && exists(checkAside) && !putBack(checkAside, check))
        keep << checkAside;
    int taken = 0;
    for (const CommitRecord::File &file : record.files)
        taken += takeBack(file) ? 1 : 0;
    QSet<QString> directories;
    for (const CommitRecord::File &file : record.files)
        directories << pathOf(file).section(QLatin1Char('/'), 0, -2);
    for (const QString &directory : directories) { // the put-backs on disk before the second names go
        const FileError error = disk.syncDirectory(directory);
        if (error.failed() && error.kind() != FileError::Gone) { // (one the run made may be gone already)
            report.failure("cannot update", directory, error);
            settled = false;
        }
    }
    if (!settled)
        return taken;
    removeRunsNames();
    for (int i = record.made.size() - 1; i >= 0; --i) // deepest first; one that holds anything stays
        disk.removeDirectory(target + QLatin1Char('/') + record.made.at(i));
    return taken;
}

// Whether file had gone in and is out again.
bool Recovery::takeBack(const CommitRecord::File &file)
{
    const QString installed = pathOf(file);
    if (file.replacing) {
        // Its old version has left its name only while it has a second one.
        const QString kept = nameOf(file, file.kept);
        if (!exists(kept))
            return false;
        const Identity old = disk.identity(kept);
        if (old.second != 0 && disk.identity(installed) == old)
            return false; // both names still the old file's
        if (putBack(kept, installed))
            return true;
        keep << kept;
        return false;
    }
    // A new file went in by the rename of its temporary.
    const FileEntry entry = disk.fileEntry(installed);
    if (entry.error.failed() || exists(nameOf(file, file.temporary)) || entry.size != file.size
        || entry.mtimeNs != file.mtimeNs || entry.mode != file.mode)
        return false;
    const FileError error = retry.run([&] { return disk.removeFile(installed); });
    if (error.failed())
        cannot(QStringLiteral("cannot take back out %1: %2; it stays in, new").arg(shownPath(installed), error.words()));
    return !error.failed();
}

// The old version from kept into installed's name; a new file there that
// refuses to be replaced (read-only, or in use on Windows) is moved aside.
bool Recovery::putBack(const QString &kept, const QString &installed)
{
    FileError error = retry.run([&] { return disk.replaceFile(kept, installed); });
    if (error.failed() && disk.fileEntry(installed).isFile) {
        const QString aside = own.in(installed.section(QLatin1Char('/'), 0, -2));
        if (!disk.moveAside(installed, aside).failed()) {
            error = retry.run([&] { return disk.replaceFile(kept, installed); });
            if (error.failed())
                disk.replaceFile(aside, installed);
            else
                disk.removeFile(aside);
        }
    }
    if (error.failed())
        cannot(QStringLiteral("cannot put back %1: %2; its old version is kept as %3")
                   .arg(shownPath(installed), error.words(), shownPath(kept)));
    return !error.failed();
}

// The run's hidden names that are left (second names, names moved aside,
// copies that did not go in), found by their prefix in each directory the
// record names; those still needed stay.
void Recovery::removeRunsNames()
{
    QSet<QString> directories;
    if (record.hasCheck)
        directories << pathOf(record.check).section(QLatin1Char('/'), 0, -2);
    for (const CommitRecord::File &file : record.files)
        directories << pathOf(file).section(QLatin1Char('/'), 0, -2);
    for (const QString &directory : directories) {
        for (const FileEntry &entry : disk.listDirectory(directory).entries) {
            const QString path = directory + QLatin1Char('/') + entry.name;
            if (!entry.isDir && cut.isOurs(entry.name) && !keep.contains(path))
                disk.removeFile(path);
        }
    }
}
