#include "mirror/updatelog.h"

#include "mirror/fileops.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSaveFile>

const char UpdateLog::fileName[] = "quorvane-starter.log";

namespace {

// Keeps the newer half of a log that has grown too long, from a line's start.
void cutBack(const QString &path)
{
    QFile old(path);
    if (!old.open(QIODevice::ReadOnly))
        return;
    const QByteArray text = old.readAll();
    old.close();
    const int from = text.indexOf('\n', text.size() / 2);
    QSaveFile cut(path);
    if (from < 0 || !cut.open(QIODevice::WriteOnly))
        return;
    cut.write(text.constData() + from + 1, text.size() - from - 1);
    cut.commit();
}

} // namespace

UpdateLog::UpdateLog(const QString &path)
    : file(path)
{
    const QFileInfo info(path);
    if (info.isFile() && !info.isSymLink() && info.size() > maxBytes - 64 * 1024) // room for this run's lines
        cutBack(path);
    // Unbuffered: each line is one append, whole even when two starters write.
    // Text: lines end in CR LF on Windows, as its editors expect.
    fileops::openForAppending(file);
}

void UpdateLog::write(const QString &line)
{
    if (!file.isOpen())
        return;
    const QDateTime now = QDateTime::currentDateTime();
    const QString stamp = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate);
    file.write((stamp + QLatin1Char(' ') + line + QLatin1Char('\n')).toUtf8());
}
