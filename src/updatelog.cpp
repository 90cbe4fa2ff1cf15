#include "updatelog.h"

#include "appendfile.h"

#include <QDateTime>

const char UpdateLog::fileName[] = "quorvane-starter.log";
const char UpdateLog::previousFileName[] = "quorvane-starter.log.1";

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
            appendfile::rename(path, path.left(path.lastIndexOf(QLatin1Char('/')) + 1)
                                              + QLatin1String(previousFileName));
    }
    if (!appendfile::namesOpenFile(file, path))
        reopen();
}

void UpdateLog::write(const QString &line)
{
    // Another starter may have rotated the log since: the line goes to the
    // new one, not to the one renamed.
    if (!file.isOpen() || (!appendfile::namesOpenFile(file, path) && !reopen()))
        return;
    const QDateTime now = QDateTime::currentDateTime();
    const QString stamp = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate);
    file.write((stamp + QLatin1Char(' ') + line + QLatin1Char('\n')).toUtf8());
}
