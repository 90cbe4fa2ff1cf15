#include "mirror/fileerror.h"

FileError FileError::triedAgainFor(int seconds) const
{
    FileError tried = *this;
    tried.triedS = short(seconds);
    return tried;
}

FileError FileError::notTriedAgain(int allowanceSeconds) const
{
    FileError spent = *this;
    spent.allowanceS = short(allowanceSeconds);
    return spent;
}

QString FileError::words() const
{
    if (errorKind == None)
        return QString();
    const QString said = errorKind == NotRegularFile ? QStringLiteral("Not a regular file") : systemWords();
    if (allowanceS >= 0)
        return said + QStringLiteral(" (not tried again: the run has waited %1 s for files in use)").arg(allowanceS);
    if (triedS >= 0)
        return said + QStringLiteral(" (tried again for %1 s)").arg(triedS);
    return said;
}
