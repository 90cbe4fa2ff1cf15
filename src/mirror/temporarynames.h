#ifndef TEMPORARYNAMES_H
#define TEMPORARYNAMES_H

#include <QAtomicInteger>
#include <QString>

// Names of temporary files for one run: hidden, short, in the file's own
// directory, and never a name of anyone else's. A later run recognises the
// leftovers of one that was killed by their pattern.
class TemporaryNames
{
public:
    TemporaryNames();
    // Another run's names, by its prefix.
    explicit TemporaryNames(const QString &prefix) : prefix(prefix) {}
    QString in(const QString &directory) { return at(directory, take()); }
    // A name's number, and the name it stands for: a long list of waiting
    // copies keeps the number alone.
    // count numbers in a row: the first of them.
    quint64 take(int count = 1) { return next.fetchAndAddRelaxed(quint64(count)); } // on any thread
    QString at(const QString &directory, quint64 number) const;
    static bool isTemporary(const QString &name);
    bool isOurs(const QString &name) const;
    QString prefixText() const { return prefix; }

private:
    QString prefix;
    QAtomicInteger<quint64> next{ 0 };
};

#endif
