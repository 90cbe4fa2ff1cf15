#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include "mirror/mirrordirectory.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A mirror that puts checkFile in place last.
MirrorOptions checkingFile(const QString &checkFile);

// Files and trees
void writeFile(const QString &path, const QByteArray &contents);
QByteArray readFile(const QString &path);
void makeDirs(const QString &path);
// Dates every file below dir a day back, as an installation made a while ago:
// file systems keep times in clock ticks of a few milliseconds, and a target
// file written in the same tick as the master's, with the same size, would
// rightly count as unchanged.
void makeOld(const QString &dir);
// Relative path -> contents of every entry below dir ("<dir>" for directories,
// "-> target" for links); what a user would see of the tree.
QMap<QString, QByteArray> treeOf(const QString &dir);
// Paths below dir whose name marks a temporary copy of the starter's.
QStringList partialCopiesIn(const QString &dir);

// Whether the starter under test is the Windows executable, run through Wine
// (QUORVANE_TEST_WINE_STARTER names it, QUORVANE_TEST_WINE_STANDIN the
// stand-in application built for Windows).
bool onWindows();
// Runs a Windows command line tool of Wine's (attrib, ...) in dir.
int runWine(const QStringList &command, const QString &dir);
// Points Wine's drive x: at dir/x: and c:/belvinta at dir/c:/belvinta, so
// that the default directories name the trees below dir.
void mapDefaultDrives(const QString &dir);
// A path as the starter shows it in its messages: with "\\" on Windows.
QString shown(QString path);

// The stand-in application: a shell script that records, in the file named by
// QUORVANE_TEST_RECORD, its own path, working directory and arguments. extra
// bytes of padding set its size, which is what the starter compares.
// For Windows it is a small .exe with the padding appended.
QByteArray standIn(int extra = 0);
void writeStandIn(const QString &path, int extra = 0);

struct Launch
{
    bool happened = false;
    QString program;        // $0 as the application saw it, with "/" separators
    QString workingDir;     // as a Unix path
    QStringList arguments;
    qint64 pid = 0;
    qint64 size = 0;        // of the program file that was started: which version ran
};
// Waits up to timeoutMs for the record; an empty Launch when none appeared.
Launch waitForLaunch(const QString &record, int timeoutMs = 5000);

struct Run
{
    int status = -1;        // exit code, or -1 when the starter did not exit normally
    QByteArray out;
    QByteArray err;
};
// Starts the built starter in workDir with the stand-in's record file set,
// its output going to files in outputDir; finishStarter waits for it.
// With asUser set, it runs as the unprivileged user "nobody" (needs root).
void startStarter(QProcess &process, const QStringList &args, const QString &workDir, const QString &record,
                  const QString &outputDir, bool asUser = false, const QStringList &prefix = QStringList());
Run finishStarter(QProcess &process, const QString &outputDir);
// Both at once.
Run runStarter(const QStringList &args, const QString &workDir, const QString &record,
               bool asUser = false, const QStringList &prefix = QStringList());

// Moves the wall clock of the starters started from now on: a master written just now then looks to them
// as one published minutes ago (seconds > 0), or as one whose server's
// clock runs ahead (seconds < 0).
void shiftStarterClock(int seconds);

// The starter that startStarter runs: the one built here, or another copy
// of it (an empty path goes back to the one built here).
QString starterPath();
void useStarter(const QString &path);

bool isRoot();
// Hands a tree to "nobody", so an unprivileged run can write where the test allows.
void giveToNobody(const QString &path);
void setImmutable(const QString &path, bool on);

const uint nobodyId = 65534;

// What the suites of whole runs share: each test in a directory of its own,
// with a master, a target and the stand-in's record file below it.
class StarterFixture : public QObject
{
    Q_OBJECT

protected:
    static const int UpdateLogLimit = 1024 * 1024 + 4096;
    static const QByteArray synced;
    static const QByteArray syncing;
    // The time and offset before each line of the update log.
    static const QRegularExpression logStamp;

    void makeInstallation();
    void verifyMirrored();
    Run start(const QStringList &extra = QStringList(), bool asUser = false,
              const QStringList &prefix = QStringList());
    // Has the Windows stand-in hold path without sharing it, as a virus
    // scanner does, for seconds; true once it holds it.
    bool holdFiles(QProcess &holder, const QStringList &paths, double seconds);

    QTemporaryDir *dir = nullptr;
    QString master, target, record;

private slots:
    void init();
    void cleanup();
};

#endif
