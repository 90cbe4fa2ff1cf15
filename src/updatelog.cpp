#include "updatelog.h"

#include "appendfile.h"
#include "mirror/report.h"

#include <QDateTime>

const char UpdateLog::fileName[] = "quorvane-starter.log";
const char UpdateLog::previousFileName[] = "quorvane-starter.log.1";
const char UpdateLog::spareFileName[] = "quorvane-starter.log.2";

namespace {

// While it lives, no other starter rotates the same file (where the log
// could be held at all).
class AppendsHeld
{
public:
    explicit AppendsHeld(QFile &file) : file(file), held(appendfile::hold(file)) {}
    ~AppendsHeld()
    {
        if (held)
            appendfile::release(file);
    }
    bool isHeld() const { return held; }

private:
    QFile &file;
    const bool held;
};

} // namespace

UpdateLog::UpdateLog(const QString &path)
    : path(path)
{
    if (reopen() && file.size() > maxBytes - 64 * 1024) // room for this run's lines
        rotate();
    if (!rotated.isEmpty())
        write(rotated);
}

// Unbuffered: each line is one append, whole even when two starters write.
// Text: lines end in CR LF on Windows, as its editors expect.
bool UpdateLog::reopen()
{
    file.close();
    file.setFileName(path);
    return appendfile::open(file);
}

// Renames the full log to its previous name and goes on in a new one. Only
// one starter rotates a file: one that finds another at it leaves it be,
// and one that comes late finds the name taken by the new file already.
void UpdateLog::rotate()
{
    {
        const AppendsHeld hold(file);
        if (!hold.isHeld())
            return;
        // A viewer that keeps the file from being renamed (Windows) puts
        // this off to a later start.
        if (appendfile::namesOpenFile(file, path) && file.size() > maxBytes - 64 * 1024)
            renameFull();
    }
    if (!appendfile::namesOpenFile(file, path))
        reopen();
}

// The full log out of the way: under its previous name, else under a spare
// one, else emptied, so that it never grows past its bound.
void UpdateLog::renameFull()
{
    const QString directory = path.left(path.lastIndexOf(QLatin1Char('/')) + 1);
    const FileError error = appendfile::rename(path, directory + QLatin1String(previousFileName));
    if (!error.failed())
        return;
    const QString why = QStringLiteral("cannot rename the log to %1: %2")
                            .arg(shownPath(directory + QLatin1String(previousFileName)), error.words());
    if (!appendfile::rename(path, directory + QLatin1String(spareFileName)).failed())
        rotated = why + QStringLiteral("; renamed it to %1 instead").arg(QLatin1String(spareFileName));
    else if (appendfile::cut(file))
        rotated = why + QStringLiteral("; cut it instead");
    else
        rotated = why + QStringLiteral("; the next start tries again");
}

void UpdateLog::write(const QString &line)
{
    // Another starter may have rotated the log since: the line goes to the
    // new one, not to the one renamed.
    if (!file.isOpen() || (!appendfile::namesOpenFile(file, path) && !reopen()))
        return;
    const QDateTime now = QDateTime::currentDateTime();
    const QString stamp = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate);
    // A line cut short (a full disk) is ended first, whoever wrote it.
    const QString start = appendfile::endsLine(file) ? QString() : QStringLiteral("\n");
    file.write((start + stamp + QLatin1Char(' ') + line + QLatin1Char('\n')).toUtf8());
}
