#include "mirror/report.h"

#include "mirror/fileops.h"
#include "mirror/updatelog.h"

#include <QDir>

namespace {

UpdateLog *reportLog = nullptr;

} // namespace

void reportFailure(const char *what, const QString &path, const QString &reason)
{
    reportLine(QStringLiteral("%1 %2: %3").arg(QLatin1String(what), QDir::toNativeSeparators(path), reason));
}

void reportLine(const QString &text)
{
    const QString line = QStringLiteral("quorvane-starter: ") + text;
    fileops::writeError(line + QLatin1Char('\n'));
    logLine(line);
}

void setReportLog(UpdateLog *log)
{
    reportLog = log;
}

void logLine(const QString &text)
{
    if (reportLog)
        reportLog->write(text);
}
