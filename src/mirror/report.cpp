#include "mirror/report.h"

#include "mirror/console.h"

#include <QDir>

void Report::failure(const char *what, const QString &path, const QString &reason) const
{
    line(QStringLiteral("%1 %2: %3").arg(QLatin1String(what), shownPath(path), reason));
}

QString shownPath(const QString &path)
{
    QString shown;
    for (const QChar c : QDir::toNativeSeparators(path)) {
        const ushort code = c.unicode();
        if (code < 0x20 || (code >= 0x7f && code < 0xa0) || code == 0x2028 || code == 0x2029)
            shown += QStringLiteral("<%1>").arg(code, code < 0x100 ? 2 : 4, 16, QLatin1Char('0')).toUpper();
        else
            shown += c;
    }
    return shown;
}

void Report::line(const QString &text) const
{
    const QString line = QStringLiteral("quorvane-starter: ") + text;
    console::writeError(line + QLatin1Char('\n'));
    note(line);
}

void Report::note(const QString &text) const
{
    if (record)
        record(text);
}
