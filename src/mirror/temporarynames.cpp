#include "mirror/temporarynames.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QRegularExpression>

TemporaryNames::TemporaryNames()
{
    // The process id keeps two runs on one machine apart, the time two machines.
    const quint64 stamp = quint64(QDateTime::currentMSecsSinceEpoch()) & 0xffffff;
    prefix = QStringLiteral(".~qv%1%2.")
                 .arg(QCoreApplication::applicationPid(), 0, 16)
                 .arg(stamp, 6, 16, QLatin1Char('0'));
}

QString TemporaryNames::at(const QString &directory, quint64 number) const
{
    return directory + QLatin1Char('/') + prefix + QString::number(number, 16);
}

bool TemporaryNames::isTemporary(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^\\.~qv[0-9a-f]{7,}\\.[0-9a-f]+$"));
    return pattern.match(name).hasMatch();
}

bool TemporaryNames::isOurs(const QString &name) const
{
    return name.startsWith(prefix);
}
