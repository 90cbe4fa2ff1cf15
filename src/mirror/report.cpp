#include "mirror/report.h"

#include "mirror/fileops.h"

#include <QDir>

void reportFailure(const char *what, const QString &path, const QString &reason)
{
    reportLine(QStringLiteral("%1 %2: %3").arg(QLatin1String(what), QDir::toNativeSeparators(path), reason));
}

void reportLine(const QString &text)
{
    fileops::writeError(QStringLiteral("quorvane-starter: ") + text + QLatin1Char('\n'));
}
