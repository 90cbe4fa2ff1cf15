#ifndef TEMPORARYNAMES_H
#define TEMPORARYNAMES_H

#include <QString>

// Names of temporary files for one run: hidden, short, in the file's own
// directory, and never a name of anyone else's. A later run recognises the
// leftovers of one that was killed by their pattern.
class TemporaryNames
{
public:
    TemporaryNames();
    QString in(const QString &directory);
    static bool isTemporary(const QString &name);
    bool isOurs(const QString &name) const;

private:
    QString prefix;
    quint64 next = 0;
};

#endif
