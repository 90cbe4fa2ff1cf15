#ifndef STAGED_H
#define STAGED_H

#include "mirror/fileops.h"

#include <QHash>
#include <QString>
#include <QVector>

class TemporaryNames;

// The copies an update has staged: each waits under a temporary name beside
// the file it will replace, until the whole update goes in at once. The
// stage adds to it, the plan reads it (a copy already waiting is what a
// later pass compares the master with), the commit puts it in place.
// A whole tree may wait, so a copy is kept small: its directory's path is
// held once, its temporary's name by number.
class StagedFiles
{
public:
    struct File
    {
        int directory;     // index of its directory
        QString name;
        quint64 temporary; // its temporary's number
        bool replacing;    // the target had a file of that name
        qint64 size;       // what the target keeps of the copy
        qint64 mtimeNs;
        uint mode;
    };

    explicit StagedFiles(TemporaryNames &names) : names(names) {}
    ~StagedFiles() { discard(); }

    // A copy is staged; one staged before for the same file goes.
    void add(const QString &directory, const QString &name, quint64 temporary, bool replacing,
             const FileEntry &kept);
    // The copy waiting to replace directory/name, as a file's details; false: none.
    bool find(const QString &directory, const QString &name, FileEntry *copy) const;

    int size() const { return files.size(); }
    const File &at(int i) const { return files.at(i); }
    QString directoryOf(int i) const { return directories.at(files.at(i).directory).path; }
    QString targetOf(int i) const { return directoryOf(i) + QLatin1Char('/') + files.at(i).name; }
    QString temporaryOf(int i) const;
    // Forgets every copy (the commit has put them in, or taken care of them).
    void clear();
    // Removes every waiting copy and forgets it.
    void discard();

private:
    struct Directory
    {
        QString path;
        quint64 device;
        QHash<QString, int> files; // by name
    };

    TemporaryNames &names;
    QVector<Directory> directories;
    QHash<QString, int> directoryIndex;
    QVector<File> files;
};

#endif
