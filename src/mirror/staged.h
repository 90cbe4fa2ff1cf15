#ifndef STAGED_H
#define STAGED_H

#include "mirror/disk.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

#include <deque>

class TemporaryNames;

// The copies an update has staged: each waits under a temporary name beside
// the file it will replace, until the whole update goes in at once. The
// stage adds to it, the plan reads it (a copy already waiting is what a
// later pass compares the master with), the commit puts it in place.
// A whole tree may wait, so a copy is kept small: its directory's path is
// held once, its name among its directory's names (not the listing's, whose
// memory would stay taken until the commit), its temporary's name by number.
class StagedFiles
{
public:
    struct File
    {
        quint64 temporary; // its temporary's number
        qint64 size;       // what the target keeps of the copy
        qint64 mtimeNs;
        int directory;     // index of its directory
        int nameAt;        // where its name begins in its directory's names
        quint16 nameLength;
        quint16 mode;
        bool replacing;    // the target had a file of that name
    };

    StagedFiles(TemporaryNames &names, Disk &disk) : names(names), disk(disk) {}
    ~StagedFiles() { discard(); }

    // The copies waiting in one directory, found by name: made for a
    // directory while it is planned, rather than kept for every file.
    class InDirectory
    {
    public:
        // The copy waiting to replace name (its index; -1: none), and its
        // details as a file's.
        int find(const QString &name, FileEntry *copy) const;

    private:
        friend class StagedFiles;
        const StagedFiles *staged = nullptr;
        QHash<QString, int> byName;
    };

    // A copy is staged; replacing: the index of an earlier copy of the same
    // file (the master changed since), which goes.
    void add(const QString &directory, const QString &name, quint64 temporary, bool replacing,
             const FileEntry &kept, int replaces = -1);
    InDirectory in(const QString &directory) const;

    int size() const { return int(files.size()); }
    const File &at(int i) const { return files.at(i); }
    QString directoryOf(int i) const { return directories.at(files.at(i).directory).path; }
    QString nameOf(int i) const;
    QString targetOf(int i) const { return directoryOf(i) + QLatin1Char('/') + nameOf(i); }
    QString temporaryOf(int i) const;
    // The directories that copies wait in.
    QStringList directoryPaths() const;
    // Forgets every copy (the commit has put them in, or taken care of them).
    void clear();
    // Removes every waiting copy and forgets it.
    void discard();

private:
    struct Directory
    {
        QString path;
        quint64 device;
        QVector<int> files;
        QString names; // of its files, one after another
    };

    TemporaryNames &names;
    Disk &disk;
    QVector<Directory> directories;
    QHash<QString, int> directoryIndex;
    std::deque<File> files; // grows without copying what it holds
};

#endif
