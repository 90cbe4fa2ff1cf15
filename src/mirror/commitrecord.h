#ifndef COMMITRECORD_H
#define COMMITRECORD_H

// What a commit is about to do, written to the target before its first step
// so that a start after a kill or a power cut can finish it or take it back
// out (recovery.h).

#include "mirror/disk.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

// A plain text file, ".quorvane-starter.commit" at the target's top, one
// line each:
//   quorvane-starter commit record 1
//   prefix <the run's temporary-name prefix>
//   check <aside> <temporary> <old size> <size> <time> <mode> <device> <inode> <path>
//   made <path>
//   file <second name> <temporary> <r|n> <size> <time> <mode> <device> <inode> <path>
//   end <lines before it> <MD5 of the bytes before it>
// Numbers of names in hex, the rest in decimal; size, time (ns) and mode
// are the new file's as the target keeps it, device and inode the old
// one's (0 0: none, or not known); r: it replaces a file; paths relative to
// the target, percent-encoded. A record without its end line whole is torn: it was
// never on disk whole, so no step of its commit began.
struct CommitRecord
{
    static const char fileName[];

    struct File
    {
        QString path;          // relative to the target
        quint64 temporary = 0; // the new file's temporary name, by number
        quint64 kept = 0;      // the old one's second name, by number (the check file's aside)
        bool replacing = false;
        Identity old;          // the old file's, when it began
        qint64 size = 0;       // the new file's, as the target keeps it
        qint64 mtimeNs = 0;
        uint mode = 0;
    };

    enum State { Whole, Torn, OtherVersion }; // OtherVersion: whole, but not this version's to read

    QString prefix;          // of the run's temporary names
    bool hasCheck = false;
    File check;              // kept: the name reserved for moving it aside
    qint64 checkOldSize = -1;
    QStringList made;        // directories the run made, relative, parents first
    QVector<File> files;

    static State fromText(const QByteArray &text, CommitRecord *record);
};

// A record's text a piece at a time, its files' lines made as they are
// written: a tree of 100,000 files is never held as lines at once.
class CommitRecordWriter
{
public:
    using FileAt = std::function<CommitRecord::File(int index)>;
    // head: the prefix, the check file and the made directories (its files
    // are not read); files: how many lines fileAt makes.
    CommitRecordWriter(const CommitRecord &head, int files, FileAt fileAt);
    // The next piece; empty once the end line is given.
    QByteArray next();

private:
    void add(const QByteArray &line);

    const FileAt fileAt;
    const int files;
    int nextFile = 0;
    int lines = 0;
    bool ended = false;
    QByteArray piece;
    QCryptographicHash sum{ QCryptographicHash::Md5 };
};

#endif
