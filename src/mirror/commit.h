#ifndef COMMIT_H
#define COMMIT_H

// The update's last phase: everything in at once, or nothing.

#include "mirror/disk.h"
#include "mirror/workers.h"

#include <QSet>
#include <QString>
#include <QStringList>

#include <deque>
#include <memory>

class BusyRetry;
class Disk;
class ProgressLine;
class Report;
class StagedFiles;
class TemporaryNames;

// Puts the staged copies in, all or none, in named steps over the one list:
// every old file first gets a second, hidden name (a hard link; where it
// gets none, it is moved to that name right before its new file goes in),
// then the copies go in, the directories that changed are synced, and the
// check file goes in by one rename. Where any step fails, every file that
// went in is taken back out (its old version put back from its second name,
// a new file removed); the second names go only once their files are
// settled, and one that could not be put back stays, with a line that
// names it. Before its first step it writes down what it is about to do
// (commitrecord.h), and removes that record once every name is settled:
// a start after a kill finishes the commit from it (recovery.h).
class Commit
{
public:
    struct Result
    {
        bool complete = false;       // the tree and the check file are in
        bool checkFileDurable = true; // its directory synced
        int placed = 0;              // files that went in (complete only)
        qint64 bytes = 0;
        int stayedIn = 0;            // new files that stayed in after all (-1: none began to go in)
        int keptHidden = 0;          // old versions not put back, kept under hidden names
        int failures = 0;
    };

    Commit(const QString &target, Disk &disk, TemporaryNames &names, const Report &report, ProgressLine &progress);
    // tree: the staged copies; checkFile: the check file's, if any;
    // grown: directories that got new subdirectories; made: those the run made.
    Result run(StagedFiles &tree, StagedFiles &checkFile, const QSet<QString> &grown,
               const QVector<QPair<QString, Identity>> &made);

private:
    // One staged copy on its way in, and where its old version is meanwhile.
    // A whole tree's are held at once: what only a few need is kept apart.
    struct Placing
    {
        static const qint64 none = -1;
        struct Rare
        {
            qint64 aside = none; // a name the file in the way was moved to, removed when settled
            qint64 extra = none; // another name the old version got as it was moved aside, removed too
            FileError error;
            QString line;        // said once the workers are done
            bool keepKept = false; // the second name could not be put back: it stays, and is reported
        };

        explicit Placing(int file) : file(file) {}
        std::unique_ptr<Rare> rare;
        int file;               // among the tree's copies, and after them the check file
        bool kept = false;      // the old version has a second name (numbered by file)
        bool linked = false;    // that is a second link: the old file is still in place too
        bool in = false;        // the new file is in place
        bool changed = false;   // the old version is no longer in place: it must be put back

        qint64 aside() const { return rare ? rare->aside : none; }
        qint64 extra() const { return rare ? rare->extra : none; }
        FileError error() const { return rare ? rare->error : FileError(); }
        QString line() const { return rare ? rare->line : QString(); }
        bool keepKept() const { return rare && rare->keepKept; }
        // Only on the thread at work on this file.
        void setAside(qint64 number) { if (rare || number != none) more().aside = number; }
        void setExtra(qint64 number) { if (rare || number != none) more().extra = number; }
        void setError(const FileError &error) { if (rare || error.failed()) more().error = error; }
        void setLine(const QString &text) { if (rare || !text.isEmpty()) more().line = text; }
        void setKeepKept() { more().keepKept = true; }
        Rare &more()
        {
            if (!rare)
                rare.reset(new Rare);
            return *rare;
        }
    };

    bool writeRecord(const QVector<QPair<QString, Identity>> &made);
    void keepOldVersions();
    bool putIn();
    FileError putInPlace(Placing *place, const QString &from, BusyRetry &retry);
    bool syncDirectories(const QSet<QString> &directories);
    bool putCheckFileIn();
    void takeAllBackOut(const QSet<QString> &changed);
    void takeBackOut();
    void settle(bool keepOldVersions);
    void sayLines();
    const StagedFiles &listOf(const Placing &place, int *index) const;
    QString target(const Placing &place) const;
    QString directoryOf(const Placing &place) const;
    QString kept(const Placing &place) const;
    void failure(const char *what, const QString &path, const FileError &reason);

    // Calls under way at once: a whole tree's would otherwise queue at once.
    static const int mostAtOnce = 512;

    const QString targetDir;
    const QString recordPath;
    Disk &disk;
    TemporaryNames &names;
    const Report &report;
    ProgressLine &progress;
    Workers workers;
    const StagedFiles *tree = nullptr;
    const StagedFiles *checkFile = nullptr;
    quint64 firstKept = 0; // the second names' numbers, one for each file of the tree
    quint64 checkAside = 0; // the name the check file is moved aside to, if need be
    // Grows in small blocks that never move (the workers hold places), made
    // from what the copies' batches let go of.
    std::deque<Placing> placing;
    Result result;
    bool refused = false; // a step was refused this user's rights
};

#endif
