#include "mirror/report.h"

#include "mirror/fileops.h"

#include <QDir>

void Report::failure(const char *what, const QString &path, const QString &reason) const
{
    line(QStringLiteral("%1 %2: %3").arg(QLatin1String(what), QDir::toNativeSeparators(path), reason));
}

void Report::line(const QString &text) const
{
    const QString line = QStringLiteral("quorvane-starter: ") + text;
    fileops::writeError(line + QLatin1Char('\n'));
    note(line);
}

void Report::note(const QString &text) const
{
    if (record)
        record(text);
}
