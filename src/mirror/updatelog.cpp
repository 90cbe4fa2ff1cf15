#include "mirror/updatelog.h"

#include "mirror/fileops.h"

#include <QDateTime>

const char UpdateLog::fileName[] = "quorvane-starter.log";

namespace {

// While it lives, the other starters' writes to the log wait (where the
// log could be held at all).
class AppendsHeld
{
public:
    explicit AppendsHeld(QFile &file) : file(file), held(fileops::holdAppends(file)) {}
    ~AppendsHeld()
    {
        if (held)
            fileops::releaseAppends(file);
    }
    bool isHeld() const { return held; }

private:
    QFile &file;
    const bool held;
};

} // namespace

UpdateLog::UpdateLog(const QString &path)
    : file(path)
{
    // Unbuffered: each line is one append, whole even when two starters write.
    // Text: lines end in CR LF on Windows, as its editors expect.
    if (!fileops::openForAppending(file))
        return;
    const AppendsHeld hold(file);
    if (hold.isHeld() && file.size() > maxBytes - 64 * 1024) // room for this run's lines
        cutBack();
}

// Keeps the newer half megabyte of a log, from a line's start, in place:
// every starter appending to it, before or after, appends to this very
// file, and none while the cut is made. Only the part kept is read,
// however long the log has grown.
void UpdateLog::cutBack()
{
    const qint64 keep = maxBytes / 2;
    const QByteArray tail = fileops::readAt(file, file.size() - keep, keep);
    if (tail.size() < keep)
        return; // not readable for this user: left as it is
    const int from = tail.indexOf('\n');
    fileops::overwrite(file, from < 0 ? QByteArray() : tail.mid(from + 1));
}

void UpdateLog::write(const QString &line)
{
    if (!file.isOpen())
        return;
    const QDateTime now = QDateTime::currentDateTime();
    const QString stamp = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate);
    const AppendsHeld hold(file);
    file.write((stamp + QLatin1Char(' ') + line + QLatin1Char('\n')).toUtf8());
}
