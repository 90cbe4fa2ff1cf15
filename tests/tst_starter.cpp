// Whole runs of the starter, as a user meets them: the update decision, the
// launch, and what happens when an update cannot be completed.
#include "mirror/mirrordirectory.h"
#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include <csignal>
#include <memory>
#include <thread>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const int UpdateLogLimit = 1024 * 1024 + 4096;
const QByteArray synced = "Synchronizovano\n";
const QByteArray syncing = "Synchronizuji program, cekejte prosim ...\nSynchronizovano\n";
// The time and offset before each line of the update log.
const QRegularExpression logStamp("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d([+-]\\d\\d:\\d\\d|Z) ");
}

class StarterTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void equalSizesCopyNothing_data();
    void equalSizesCopyNothing();
    void differentSizesMirrorThenLaunch();
    void missingCheckFile_data();
    void missingCheckFile();
    void checkFileAsSubpath();
    void sizesDifferingAbove4GiB();
    void targetInsideMaster();
    void launchIsDetached();
    void failedLaunch();
    void programHeldForAMoment();

    void updateThatCannotComplete_data();
    void updateThatCannotComplete();
    void interruptedUpdateIsRepeated();
    void walkOrder();
    void manyFailuresOneLineEach();
    void masterEntriesThatCannotBeRead_data();
    void masterEntriesThatCannotBeRead();

    void checkFileHoweverSpelled_data();
    void checkFileHoweverSpelled();
    void masterChangingDuringUpdate();
    void releaseCopiedFileByFile_data();
    void releaseCopiedFileByFile();
    void checkFileWrittenInPlace_data();
    void checkFileWrittenInPlace();
    void directorySyncFails_data();
    void directorySyncFails();
    void startersAtOnce_data();
    void startersAtOnce();
    void clickedWhileCheckFileIsAside();
    void leftoverLocks_data();
    void leftoverLocks();
    void liveUpdateIsWaitedFor();
    void updateWhileRunning();
    void readOnlyFiles();
    void longTargetPath();
    void windowsNames();
    void progressOnTerminal_data();
    void progressOnTerminal();
    void targetsThatKeepLess_data();
    void targetsThatKeepLess();
    void checkFileThatIsNoFile();
    void unusualStandardStreams_data();
    void unusualStandardStreams();
    void filesHeldByOthers_data();
    void filesHeldByOthers();
    void updateLog_data();
    void updateLog();
    void starterUpdatesItself();

private:
    void makeInstallation();
    void verifyMirrored();
    Run start(const QStringList &extra = QStringList(), bool asUser = false,
              const QStringList &prefix = QStringList());
    // Has the Windows stand-in hold path without sharing it, as a virus
    // scanner does, for seconds; true once it holds it.
    bool holdFiles(QProcess &holder, const QStringList &paths, double seconds);

    QTemporaryDir *dir = nullptr;
    QString master, target, record;
};

void StarterTest::init()
{
    // Masters are written just before each start; as people click, they look
    // published minutes ago. The release guard's own tests move it back.
    shiftStarterClock(300);
    dir = new QTemporaryDir;
    QVERIFY(dir->isValid());
    master = dir->path() + "/master";
    target = dir->path() + "/target";
    record = dir->path() + "/record/launched";
    makeDirs(dir->path() + "/record");
}

void StarterTest::cleanup()
{
    delete dir;
}

// A master one release ahead of the installed copy.
void StarterTest::makeInstallation()
{
    writeStandIn(master + "/quorvane.exe", 20);
    writeFile(master + "/lib/core.dll", "core 2");
    writeFile(master + "/lib/plugins/p.dll", "plugin 2");
    writeFile(master + "/quorvaneglobal.conf.xml", "<master/>");
    writeStandIn(target + "/quorvane.exe", 10);
    writeFile(target + "/lib/core.dll", "core 1");
    writeFile(target + "/quorvaneglobal.conf.xml", "<local/>");
    writeFile(target + "/user.ini", "mine");
    makeOld(target);
}

// Every master file (but the configuration) is in the target as it is in the
// master, and no temporary file is left.
void StarterTest::verifyMirrored()
{
    const auto targetTree = treeOf(target);
    const auto masterTree = treeOf(master);
    for (auto it = masterTree.begin(); it != masterTree.end(); ++it) {
        if (!it.key().endsWith("quorvaneglobal.conf.xml"))
            QVERIFY2(targetTree.value(it.key()) == it.value(), qPrintable(it.key()));
    }
    QCOMPARE(partialCopiesIn(target), QStringList());
}

Run StarterTest::start(const QStringList &extra, bool asUser, const QStringList &prefix)
{
    return runStarter(QStringList{"-m", master, "-t", target} + extra, dir->path(), record, asUser, prefix);
}

bool StarterTest::holdFiles(QProcess &holder, const QStringList &paths, double seconds)
{
    const QString ready = dir->path() + "/held";
    QStringList arguments{qEnvironmentVariable("QUORVANE_TEST_WINE_STANDIN"), "--hold", QString::number(seconds),
                          shown(ready)};
    for (const QString &path : paths)
        arguments << shown(path);
    holder.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    holder.start("wine", arguments);
    QElapsedTimer timer;
    timer.start();
    while (!QFileInfo::exists(ready) && timer.elapsed() < 30000)
        QThread::msleep(20);
    return QFileInfo::exists(ready);
}

void StarterTest::equalSizesCopyNothing_data()
{
    QTest::addColumn<bool>("sameDirectory");
    QTest::newRow("equal sizes, other contents") << false;
    QTest::newRow("master is the target") << true;
}

void StarterTest::equalSizesCopyNothing()
{
    QFETCH(bool, sameDirectory);
    makeInstallation();
    writeStandIn(target + "/quorvane.exe", 20);
    writeFile(master + "/quorvane.exe", QByteArray(standIn(20).size(), 'z')); // same size, other bytes
    if (sameDirectory)
        master = target;
    const auto before = treeOf(target);

    const Run run = start();
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, synced);
    QCOMPARE(run.err, QByteArray());
    const Launch launch = waitForLaunch(record);
    QVERIFY(launch.happened);
    QCOMPARE(launch.program, target + "/quorvane.exe");
    QCOMPARE(launch.arguments, QStringList{"-m"});
    QCOMPARE(launch.workingDir, dir->path());
    QCOMPARE(treeOf(target), before);
}

void StarterTest::differentSizesMirrorThenLaunch()
{
    makeInstallation();
    const Run run = start();
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, syncing);
    QCOMPARE(run.err, QByteArray());

    QCOMPARE(readFile(target + "/quorvane.exe"), standIn(20));
    QCOMPARE(readFile(target + "/lib/core.dll"), QByteArray("core 2"));
    QCOMPARE(readFile(target + "/lib/plugins/p.dll"), QByteArray("plugin 2"));
    QCOMPARE(readFile(target + "/quorvaneglobal.conf.xml"), QByteArray("<local/>"));
    QCOMPARE(readFile(target + "/user.ini"), QByteArray("mine"));
    QCOMPARE(partialCopiesIn(target), QStringList());

    const Launch launch = waitForLaunch(record);
    QVERIFY(launch.happened);
    QCOMPARE(launch.program, target + "/quorvane.exe");
    QCOMPARE(launch.arguments, QStringList{"-m"});
    QCOMPARE(launch.workingDir, dir->path());

    // Now current: the next start only launches.
    QFile::remove(record);
    const Run again = start();
    QCOMPARE(again.out, synced);
    QVERIFY(waitForLaunch(record).happened);
}

void StarterTest::missingCheckFile_data()
{
    QTest::addColumn<bool>("inMaster");
    QTest::addColumn<bool>("inTarget");
    QTest::newRow("no master check file") << false << true;
    QTest::newRow("nothing installed") << true << false;
    QTest::newRow("neither") << false << false;
}

// A disconnected master drive or a missing installation: silent, nothing done
// but, for a master not found, one line in the log of a target there is.
void StarterTest::missingCheckFile()
{
    QFETCH(bool, inMaster);
    QFETCH(bool, inTarget);
    makeInstallation();
    if (!inMaster)
        QVERIFY(QFile::remove(master + "/quorvane.exe"));
    if (!inTarget)
        QVERIFY(QFile::remove(target + "/quorvane.exe"));
    const auto before = treeOf(target);

    const Run run = start();
    QCOMPARE(run.status, 255);
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(run.err, QByteArray());
    QMap<QString, QByteArray> after = treeOf(target);
    const QByteArray log = after.take("quorvane-starter.log");
    QCOMPARE(after, before);
    const QRegularExpressionMatch stamp = logStamp.match(QString::fromUtf8(log));
    QCOMPARE(log.mid(stamp.capturedLength()).replace("\r\n", "\n"),
             inMaster ? QByteArray()
                      : "master check file not found: " + shown(master + "/quorvane.exe").toUtf8()
                            + "; the program was not started\n");
    QVERIFY(!waitForLaunch(record, 300).happened);
}

void StarterTest::checkFileAsSubpath()
{
    writeStandIn(master + "/bin/app.exe", 3);
    writeFile(master + "/quorvane.exe", "not the check file");
    writeStandIn(target + "/bin/app.exe", 1);

    const Run run = start({"-f", "bin/app.exe"});
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, syncing);
    QCOMPARE(readFile(target + "/bin/app.exe"), standIn(3));
    QCOMPARE(readFile(target + "/quorvane.exe"), QByteArray("not the check file"));
    const Launch launch = waitForLaunch(record);
    QCOMPARE(launch.program, target + "/bin/app.exe");
}

// The sizes are compared whole, not in their low 32 bits. The large file is
// sparse and on the target side, so the update copies only a small one.
void StarterTest::sizesDifferingAbove4GiB()
{
    writeStandIn(master + "/quorvane.exe");
    writeStandIn(target + "/quorvane.exe");
    QFile big(target + "/quorvane.exe");
    QVERIFY(big.resize(big.size() + (Q_INT64_C(1) << 32)));

    const Run run = start();
    QCOMPARE(run.out, syncing);
    QCOMPARE(run.status, 0);
    QCOMPARE(QFileInfo(target + "/quorvane.exe").size(), QFileInfo(master + "/quorvane.exe").size());
    QVERIFY(waitForLaunch(record).happened);
}

void StarterTest::targetInsideMaster()
{
    makeInstallation();
    const QString inside = master + "/lib/installed";
    writeStandIn(inside + "/quorvane.exe", 2);
    const Run run = runStarter({"-m", master, "-t", inside}, dir->path(), record);
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, syncing);
    QCOMPARE(readFile(inside + "/lib/core.dll"), QByteArray("core 2"));
    QVERIFY(!QFileInfo::exists(inside + "/lib/installed"));
    QCOMPARE(waitForLaunch(record).program, inside + "/quorvane.exe");
}

void StarterTest::launchIsDetached()
{
    makeInstallation();
    qputenv("QUORVANE_TEST_LINGER", "5");
    const Run run = start();
    qunsetenv("QUORVANE_TEST_LINGER");
    QCOMPARE(run.status, 0);
    const Launch launch = waitForLaunch(record);
    QVERIFY(launch.happened);
    // The starter is gone; the application is still at work.
    QVERIFY(launch.pid > 0);
    QVERIFY(!QFileInfo::exists(record + ".done"));
    if (onWindows()) { // a Windows process id means nothing here: see it finish instead
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record + ".done"), 10000);
        return;
    }
    QCOMPARE(kill(pid_t(launch.pid), 0), 0);
    kill(pid_t(launch.pid), SIGTERM);
}

void StarterTest::failedLaunch()
{
    makeInstallation();
    writeFile(master + "/quorvane.exe", "not a program, and longer than the installed one ...........");
    const Run run = start();
    QCOMPARE(run.out, syncing);
    QCOMPARE(run.status, 255);
    // Wine has no text for ERROR_BAD_EXE_FORMAT, only its number (193).
    const QString reason = onWindows() ? "Unknown error 0x000000c1." : "Exec format error";
    QCOMPARE(QString::fromUtf8(run.err), "quorvane-starter: cannot start " + shown(target + "/quorvane.exe: ") + reason + "\n");
    QVERIFY(!waitForLaunch(record, 300).happened);
}

// A program just written may be held for a moment (a virus scanner reads it;
// on Linux a file still open for writing cannot run): its start is tried
// again, and succeeds without a word once the file is let go.
void StarterTest::programHeldForAMoment()
{
    makeInstallation();
    writeStandIn(master + "/quorvane.exe", 10); // nothing to update
    const QString program = target + "/quorvane.exe";
    QProcess holder;
    int fd = -1;
    if (onWindows()) {
        QVERIFY(holdFiles(holder, {program}, 0.8));
    } else {
        fd = ::open(QFile::encodeName(program).constData(), O_WRONLY | O_CLOEXEC);
        QVERIFY(fd >= 0);
    }
    std::thread letGo([fd] {
        if (fd >= 0) {
            QThread::msleep(800);
            ::close(fd);
        }
    });
    const Run run = start();
    letGo.join();
    holder.waitForFinished();
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.out, synced);
    QCOMPARE(run.status, 0);
    QVERIFY(waitForLaunch(record).happened);
}

// --- an update that cannot be completed -------------------------------------

void StarterTest::updateThatCannotComplete_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<QString>("err");    // %T: target, %M: master
    QTest::addColumn<QString>("winErr"); // the same from the Windows starter

    QTest::newRow("unreadable master file") << "unreadable file"
        << "cannot read %M/lib/core.dll: Permission denied\n"
        << "cannot read %M/lib/core.dll: Access denied. (tried again for 5 s)\n";
    QTest::newRow("disk full") << "full disk"
        << "cannot update %T/lib/core.dll: No space left on device\n"
        << "cannot update %T/lib/core.dll: Disk full.\n";
    QTest::newRow("immutable target file") << "immutable"
        << "cannot update %T/lib/core.dll: Operation not permitted\n"
        << "cannot update %T/lib/core.dll: Access denied. (tried again for 5 s)\n";
    QTest::newRow("read-only target directory") << "read-only"
        << "cannot update %T/lib/core.dll: Permission denied\n"
           "quorvane-starter: cannot create directory %T/lib/plugins: Permission denied\n"
           "quorvane-starter: cannot update %T/lib/plugins/p.dll: No such file or directory\n"
        << "cannot update %T/lib/core.dll: Access denied.\n"
           "quorvane-starter: cannot create directory %T/lib/plugins: Access denied.\n"
           "quorvane-starter: cannot update %T/lib/plugins/p.dll: Path not found.\n";
    QTest::newRow("no inode left") << "no inodes"
        << "cannot make the lock %T/.quorvane-starter.lock, updating without it\n"
           "quorvane-starter: cannot update %T/lib/core.dll: No space left on device\n"
           "quorvane-starter: cannot create directory %T/lib/plugins: No space left on device\n"
           "quorvane-starter: cannot update %T/lib/plugins/p.dll: No such file or directory\n"
        << "cannot make the lock %T/.quorvane-starter.lock, updating without it\n"
           "quorvane-starter: cannot update %T/lib/core.dll: Disk full.\n"
           "quorvane-starter: cannot create directory %T/lib/plugins: Disk full.\n"
           "quorvane-starter: cannot update %T/lib/plugins/p.dll: Path not found.\n";
    QTest::newRow("unreadable master directory") << "unreadable directory"
        << "cannot read directory %M/lib: Permission denied\n"
        << "cannot read directory %M/lib: Access denied.\n";
    // Every sync of new data fails, as on a disk going bad (no Windows row:
    // there the copies are flushed as they are written).
    QTest::newRow("disk fails to write") << "failing sync"
        << "cannot update %T/lib/core.dll: Input/output error\n"
           "quorvane-starter: cannot update %T/lib/plugins/p.dll: Input/output error\n"
        << "";
}

// Whatever stops a file from being updated: the old file stays as it was, the
// failure is named on standard error, nothing else goes in either (a file
// that resists being replaced only at the very end has the others taken
// back out), the check file is left behind for the next start to try
// again, and the program still starts.
void StarterTest::updateThatCannotComplete()
{
    QFETCH(QString, obstacle);
    QFETCH(QString, err);
    QFETCH(QString, winErr);
    if (!isRoot())
        QSKIP("needs root: setpriv, chattr and mount arrange the obstacles");
    if (onWindows() && winErr.isEmpty())
        QSKIP("no such failure on Windows");
    makeInstallation();

    struct Undo {
        QStringList command;
        ~Undo() { if (!command.isEmpty()) QProcess::execute(command.first(), command.mid(1)); }
    } undo;
    bool asUser = false;
    QStringList prefix;
    if (obstacle == "full disk" || obstacle == "no inodes") {
        // Room for what is there, and for no new file or directory.
        const QString limit = obstacle == "full disk" ? "size=1m" : "nr_inodes=5";
        QCOMPARE(QProcess::execute("mount", {"-t", "tmpfs", "-o", limit, "tmpfs", target}), 0);
        undo.command = QStringList{"umount", "-l", target}; // lazily: the started program may still run from it
        writeStandIn(target + "/quorvane.exe", 10);
        writeFile(target + "/lib/core.dll", "core 1");
        writeFile(target + "/quorvaneglobal.conf.xml", "<local/>");
        makeOld(target);
        writeFile(master + "/lib/core.dll", QByteArray(2 * 1024 * 1024, 'c'));
    } else if (obstacle == "immutable") {
        writeFile(master + "/lib/a.dll", "a 2"); // replaced before core.dll resists, and put back
        writeFile(target + "/lib/a.dll", "a 1");
        makeOld(target);
        setImmutable(target + "/lib/core.dll", true);
        undo.command = QStringList{"chattr", "-i", target + "/lib/core.dll"};
    } else if (obstacle == "failing sync") {
        prefix = QStringList{"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fdatasync,fsync,syncfs",
                             "-e", "inject=fdatasync,fsync,syncfs:error=EIO"};
    } else {
        // Run as "nobody", in a tree that "nobody" owns.
        asUser = true;
        // Readable too: Wine loses a working directory it cannot read.
        QVERIFY(QFile::setPermissions(dir->path(), QFile::permissions(dir->path()) | QFile::ExeOther
                                                       | QFile::ReadOther));
        giveToNobody(target);
        giveToNobody(dir->path() + "/record");
        const QFile::Permissions rx = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther;
        if (obstacle == "unreadable file")
            QVERIFY(QFile::setPermissions(master + "/lib/core.dll", QFile::WriteOwner));
        else if (obstacle == "read-only")
            QVERIFY(QFile::setPermissions(target + "/lib", rx));
        else // listed and entered, but its listing would come back empty
            QVERIFY(QFile::setPermissions(master + "/lib", QFile::ReadOwner | QFile::WriteOwner
                                                             | QFile::ExeOwner | QFile::ExeOther));
    }

    const Run run = start({}, asUser, prefix);
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, syncing);
    err = (onWindows() ? winErr : err).replace("%T", target).replace("%M", master);
    QCOMPARE(QString::fromUtf8(run.err), "quorvane-starter: " + shown(err));
    QCOMPARE(readFile(target + "/lib/core.dll"), QByteArray("core 1"));
    QVERIFY(!QFileInfo::exists(target + "/lib/plugins/p.dll"));
    if (obstacle == "immutable")
        QCOMPARE(readFile(target + "/lib/a.dll"), QByteArray("a 1"));
    QCOMPARE(partialCopiesIn(target), QStringList());
    QCOMPARE(readFile(target + "/quorvane.exe"), standIn(10));
    QCOMPARE(readFile(target + "/quorvaneglobal.conf.xml"), QByteArray("<local/>"));
    QVERIFY(waitForLaunch(record).happened);
}

// The starter dies half-way through a copy (a file-size limit kills it with
// SIGXFSZ); the next start sees the installation is still behind and finishes.
void StarterTest::interruptedUpdateIsRepeated()
{
    makeInstallation();
    writeFile(master + "/lib/zbig.dat", QByteArray(2 * 1024 * 1024, 'b'));
    writeFile(master + "/zz/late.txt", "late");

    const Run cut = start({}, false, {"prlimit", "--fsize=1048576"});
    QVERIFY(cut.status != 0);
    QVERIFY(readFile(target + "/lib/core.dll") == "core 1" || readFile(target + "/lib/core.dll") == "core 2");
    QVERIFY(!QFileInfo::exists(target + "/lib/zbig.dat"));
    QVERIFY(!QFileInfo::exists(target + "/zz/late.txt"));
    QCOMPARE(readFile(target + "/quorvane.exe"), standIn(10));
    QVERIFY(!waitForLaunch(record, 300).happened);

    const Run second = start();
    QCOMPARE(second.status, 0);
    QCOMPARE(second.out, syncing);
    QCOMPARE(readFile(target + "/lib/zbig.dat").size(), 2 * 1024 * 1024);
    QCOMPARE(readFile(target + "/zz/late.txt"), QByteArray("late"));
    QCOMPARE(readFile(target + "/quorvane.exe"), standIn(20));
    QCOMPARE(partialCopiesIn(target), QStringList());
    QVERIFY(waitForLaunch(record).happened);

    QFile::remove(record);
    QCOMPARE(start().out, synced);
}

// Files before subdirectories, names in order ignoring case, each subdirectory
// finished before the next: seen in the order the failures are reported.
void StarterTest::walkOrder()
{
    writeStandIn(master + "/quorvane.exe", 2);
    writeStandIn(target + "/quorvane.exe", 1);
    for (const QString name : {"b.dll", "A.dll", "C.dll"}) {
        writeFile(master + "/" + name, "new");
        makeDirs(target + "/" + name); // cannot be replaced by a file
    }
    for (const QString name : {"sub2", "Sub1"}) {
        writeFile(master + "/" + name + "/x", "x");
        writeFile(target + "/" + name, "a file where the master has a directory");
    }
    const Run run = start();
    QCOMPARE(run.status, 0);
    const QStringList onLinux{"update %T/A.dll: Is a directory", "update %T/b.dll: Is a directory",
                              "update %T/C.dll: Is a directory",
                            "create directory %T/Sub1: File exists", "update %T/Sub1/x: Not a directory",
                            "create directory %T/sub2: File exists", "update %T/sub2/x: Not a directory"};
    const QStringList windows{"update %T/A.dll: Access denied.", "update %T/b.dll: Access denied.",
                              "update %T/C.dll: Access denied.",
                              "create directory %T/Sub1: File already exists.", "update %T/Sub1/x: Path not found.",
                              "create directory %T/sub2: File already exists.", "update %T/sub2/x: Path not found."};
    QString expected;
    for (const QString &line : onWindows() ? windows : onLinux)
        expected += "quorvane-starter: cannot " + shown(QString(line).replace("%T", target)) + "\n";
    QCOMPARE(QString::fromUtf8(run.err), expected);
}

// Failures among many files, reported by the copying threads: one whole line
// each, in the order of the walk.
void StarterTest::manyFailuresOneLineEach()
{
    writeStandIn(master + "/quorvane.exe", 2);
    writeStandIn(target + "/quorvane.exe", 1);
    QStringList expected;
    for (int i = 0; i < 600; ++i) {
        const QString name = QString("d%1/f%2.dat").arg(i % 7).arg(i, 3, 10, QChar('0'));
        writeFile(master + "/" + name, QByteArray(i * 10, 'm'));
        if (i % 29 == 0) { // cannot be replaced by a file
            makeDirs(target + "/" + name);
            expected << name;
        }
    }
    expected.sort(); // the order of the walk
    const Run run = start();
    QCOMPARE(run.status, 0);
    QStringList lines = QString::fromUtf8(run.err).split('\n');
    QCOMPARE(lines.takeLast(), QString());
    QCOMPARE(lines.size(), expected.size());
    for (int i = 0; i < lines.size(); ++i)
        QVERIFY2(lines[i].startsWith("quorvane-starter: cannot update " + shown(target + "/" + expected[i]) + ": "),
                 qPrintable(lines[i]));
    QVERIFY(!QFileInfo::exists(target + "/d1/f001.dat"));
    QCOMPARE(readFile(target + "/quorvane.exe"), standIn(1));
}

void StarterTest::masterEntriesThatCannotBeRead_data()
{
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<QString>("err"); // %M: master
    QTest::newRow("name not in the file-name encoding") << QByteArray("lib/caf\xe9.dll")
        << QString("cannot read %M/lib/caf\ufffd.dll: Invalid or incomplete multibyte or wide character\n");
    const QString deep = QString(250, 'd') + "/";
    QTest::newRow("path longer than the system allows") << ("lib/" + deep.repeated(17) + "x.dll").toLatin1()
        << "cannot create directory %T/lib/" + deep.repeated(17).chopped(1) + ": File name too long\n"
           "quorvane-starter: cannot read directory %M/lib/" + deep.repeated(17).chopped(1) + ": File name too long\n";
}

// Nothing in the master is passed over in silence: each entry that cannot be
// read is a line, and the installation is not marked current.
void StarterTest::masterEntriesThatCannotBeRead()
{
    QFETCH(QByteArray, entry);
    QFETCH(QString, err);
    if (onWindows())
        QSKIP("Linux file names: Windows names are UTF-16, and its long paths are tested by longTargetPath");
    makeInstallation();
    // Made a level at a time, as the system takes no longer path, and with
    // the name's bytes as they are.
    int fd = open(QFile::encodeName(master).constData(), O_RDONLY | O_DIRECTORY);
    const QList<QByteArray> parts = entry.split('/');
    for (int i = 0; i < parts.size() - 1; ++i) {
        mkdirat(fd, parts[i].constData(), 0755);
        const int next = openat(fd, parts[i].constData(), O_RDONLY | O_DIRECTORY);
        close(fd);
        QVERIFY(next >= 0);
        fd = next;
    }
    const int file = openat(fd, parts.last().constData(), O_WRONLY | O_CREAT, 0644);
    QVERIFY(file >= 0);
    QCOMPARE(write(file, "new", 3), ssize_t(3));
    close(file);
    close(fd);

    const Run run = start();
    QCOMPARE(run.status, 0);
    QCOMPARE(QString::fromUtf8(run.err),
             "quorvane-starter: " + QString(err).replace("%M", master).replace("%T", target));
    QCOMPARE(readFile(target + "/lib/core.dll"), QByteArray("core 1"));
    QCOMPARE(readFile(target + "/quorvane.exe"), standIn(10));
}

void StarterTest::checkFileHoweverSpelled_data()
{
    QTest::addColumn<QString>("given"); // -f
    QTest::addColumn<QString>("path");  // where it is
    QTest::addColumn<bool>("blocked");  // another file cannot be updated
    QTest::addColumn<bool>("windowsOnly");
    QTest::newRow("./quorvane.exe") << "./quorvane.exe" << "quorvane.exe" << true << false;
    QTest::newRow("sub//app") << "sub//app" << "sub/app" << true << false;
    QTest::newRow("sub/./app") << "sub/./app" << "sub/app" << true << false;
    QTest::newRow("other case") << "QUORVANE.EXE" << "quorvane.exe" << true << true;
    QTest::newRow("hidden") << ".stamp" << ".stamp" << false << false;
    QTest::newRow("hidden, in a subdirectory") << "sub/.stamp" << "sub/.stamp" << false << false;
}

// The file that marks the installation current goes in only after every
// other file, however its name was written, and even when it is hidden.
void StarterTest::checkFileHoweverSpelled()
{
    QFETCH(QString, given);
    QFETCH(QString, path);
    QFETCH(bool, blocked);
    QFETCH(bool, windowsOnly);
    if (windowsOnly && !onWindows())
        QSKIP("names ignore case on Windows only");
    makeInstallation();
    writeStandIn(master + "/" + path, 7);
    writeStandIn(target + "/" + path, 3);
    if (blocked) {
        writeFile(master + "/blocked.dll", "new");
        makeDirs(target + "/blocked.dll");
    }

    const Run run = start({"-f", given});
    QCOMPARE(run.out, syncing);
    QCOMPARE(run.err.count('\n'), blocked ? 1 : 0);
    QCOMPARE(readFile(target + "/" + path), blocked ? standIn(3) : standIn(7));
    QVERIFY(waitForLaunch(record).happened);

    if (blocked) { // cleared: the next start finishes the update
        QVERIFY(QDir(target + "/blocked.dll").removeRecursively());
        QFile::remove(record);
        QCOMPARE(start({"-f", given}).out, syncing);
        QCOMPARE(readFile(target + "/" + path), standIn(7));
        QVERIFY(waitForLaunch(record).happened);
    }
    QFile::remove(record);
    QCOMPARE(start({"-f", given}).out, synced);
}

namespace {

// Rewrites the master as an administrator copying a new release over it:
// the check file first, then every other file, with new contents and sizes;
// gapMs between two files, as a copy to a file share goes. keepTimes: each
// file keeps a time of its own from long ago, as robocopy and cp -p do.
// growingMB: first a large file written a megabyte at a time.
class ReleaseWriter : public QThread
{
public:
    ReleaseWriter(const QString &master, int files, int rounds, int gapMs = 0, bool keepTimes = false,
                  int growingMB = 0)
        : master(master), files(files), rounds(rounds), gapMs(gapMs), keepTimes(keepTimes), growingMB(growingMB) {}
    void run() override
    {
        for (int round = 1; round <= rounds; ++round) {
            writeStandIn(master + "/quorvane.exe", 100 + round);
            if (growingMB > 0) {
                QFile big(master + "/data/big.dat");
                big.open(QIODevice::WriteOnly);
                for (int i = 0; i < growingMB; ++i) {
                    big.write(QByteArray(1 << 20, char('a' + round % 26)));
                    big.flush();
                    QThread::msleep(100);
                }
            }
            for (int i = 0; i < files; ++i) {
                const QString path = QString("%1/d%2/f%3").arg(master).arg(i % 10).arg(i);
                writeFile(path, QByteArray(500 + round * 7 + i, char('a' + round % 26)));
                if (keepTimes) {
                    const timespec longAgo = { 1500000000 + round * 1000 + i, 0 };
                    const timespec times[2] = { longAgo, longAgo };
                    utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0);
                }
                QThread::msleep(ulong(gapMs));
            }
        }
    }

private:
    QString master;
    int files, rounds, gapMs;
    bool keepTimes;
    int growingMB;
};

} // namespace

// A master rewritten while workstations update from it: whenever a start
// leaves the check files equal, so that the next start takes the
// installation for current, the installation is the master's.
void StarterTest::masterChangingDuringUpdate()
{
    shiftStarterClock(0);
    const int files = 400;
    for (const int rounds : {1, 3, 8}) {
        for (const int delayMs : {0, 20, 80}) {
            QDir(master).removeRecursively();
            QDir(target).removeRecursively();
            for (int i = 0; i < files; ++i)
                writeFile(QString("%1/d%2/f%3").arg(master).arg(i % 10).arg(i), "release 1");
            writeStandIn(master + "/quorvane.exe", 50);
            writeStandIn(target + "/quorvane.exe", 1);

            ReleaseWriter writer(master, files, rounds);
            writer.start();
            QThread::msleep(delayMs);
            const Run run = start();
            writer.wait();
            QCOMPARE(run.err, QByteArray());
            QVERIFY2(run.status == 0, run.out.constData());
            if (QFileInfo(target + "/quorvane.exe").size() == QFileInfo(master + "/quorvane.exe").size()) {
                verifyMirrored();
            } else { // the next start finds the master at rest and finishes
                QCOMPARE(start().out, syncing);
                verifyMirrored();
            }
            QCOMPARE(start().out, synced);
        }
    }
}

void StarterTest::releaseCopiedFileByFile_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<bool>("keepTimes");
    QTest::addColumn<int>("growingMB");
    QTest::addColumn<int>("serverBehindS"); // how far the master's clock is behind the workstation's
    QTest::newRow("no gaps") << 50 << 0 << false << 0 << 0;
    QTest::newRow("50 ms gaps") << 50 << 50 << false << 0 << 0;
    QTest::newRow("300 ms gaps") << 20 << 300 << false << 0 << 0;
    QTest::newRow("50 ms gaps, times kept") << 50 << 50 << true << 0 << 0;
    QTest::newRow("a large file still growing") << 20 << 0 << false << 30 << 0;
    QTest::newRow("the server's clock 45 s behind") << 20 << 300 << false << 0 << 45;
    QTest::newRow("the server's clock 10 s behind") << 20 << 300 << false << 0 << 10;
    QTest::newRow("the server's clock 4 s ahead") << 20 << 300 << false << 0 << -4;
    QTest::newRow("the server's clock an hour ahead") << 20 << 300 << false << 0 << -3600;
}

// An administrator copies a release onto the master file by file, the check
// file first, while workstations start: however a start falls into the copy,
// the installation is never marked current with part of the old release in
// it, so after the copy one more start leaves it equal to the master.
void StarterTest::releaseCopiedFileByFile()
{
    QFETCH(int, files);
    QFETCH(int, gapMs);
    QFETCH(bool, keepTimes);
    QFETCH(int, growingMB);
    QFETCH(int, serverBehindS);
    shiftStarterClock(serverBehindS);
    for (const int startAfterMs : {100, 1000}) {
        QDir(master).removeRecursively();
        QDir(target).removeRecursively();
        for (int i = 0; i < files; ++i)
            writeFile(QString("%1/d%2/f%3").arg(master).arg(i % 10).arg(i), "release 1");
        writeFile(master + "/data/big.dat", "release 1");
        writeStandIn(master + "/quorvane.exe", 50);
        makeOld(master);
        QCOMPARE(QProcess::execute("cp", {"-a", master, target}), 0); // installed as it is

        ReleaseWriter writer(master, files, 1, gapMs, keepTimes, growingMB);
        writer.start();
        QThread::msleep(ulong(startAfterMs));
        const Run during = start();
        writer.wait();
        QCOMPARE(during.err, QByteArray());
        QCOMPARE(during.status, 0);
        if (readFile(target + "/quorvane.exe") == readFile(master + "/quorvane.exe"))
            verifyMirrored(); // marked current only when it is
        QCOMPARE(start().err, QByteArray());
        verifyMirrored();
        QCOMPARE(readFile(target + "/quorvane.exe"), readFile(master + "/quorvane.exe"));
    }
}

void StarterTest::checkFileWrittenInPlace_data()
{
    QTest::addColumn<bool>("growing");    // else its full size is set first, and filled
    QTest::addColumn<int>("chunkKB");     // written ...
    QTest::addColumn<int>("everyMs");     // ... this often
    QTest::addColumn<int>("syncDelayMs"); // each sync of the starter's takes this long (a busy disk)
    QTest::addColumn<bool>("share");      // the master read through a mount that shows file details 10 s old
    QTest::addColumn<int>("aheadS");      // the workstation's clock ahead of the server's
    QTest::addColumn<bool>("givesUp");    // the starter leaves before the writer is done, changing nothing
    QTest::newRow("size set first") << false << 100 << 500 << 0 << false << 0 << false;
    QTest::newRow("growing") << true << 100 << 500 << 0 << false << 0 << false;
    QTest::newRow("size set first, on a busy disk") << false << 100 << 500 << 700 << false << 0 << false;
    // (A growing file reads back there at the size it is shown with: local only.)
    QTest::newRow("size set first, through a share") << false << 100 << 500 << 0 << true << 0 << false;
    // Longer than the 30 s a release is waited for.
    QTest::newRow("for longer than the starter waits") << false << 40 << 500 << 0 << false << 0 << true;
    // Its times look old: looked at again at once, and given up on after four looks.
    QTest::newRow("all the time, by a server whose clock is far behind") << false << 1 << 1 << 0 << false << 300
                                                                        << true;
}

// The last step of publishing a release: the check file written in place,
// every 0.5 s, as robocopy does it, while a workstation starts. The
// installation gets the complete file, or keeps its old one; never a part.
void StarterTest::checkFileWrittenInPlace()
{
    QFETCH(bool, growing);
    QFETCH(int, chunkKB);
    QFETCH(int, everyMs);
    QFETCH(int, syncDelayMs);
    QFETCH(bool, share);
    QFETCH(int, aheadS);
    QFETCH(bool, givesUp);
    if (syncDelayMs > 0 && onWindows())
        QSKIP("slows the starter's syncs down with strace: Linux only");
    shiftStarterClock(aheadS);
    makeInstallation();
    QStringList args;
    QProcess server;
    struct Unmount {
        QString path;
        ~Unmount() { if (!path.isEmpty()) QProcess::execute("fusermount", {"-u", "-z", path}); }
    } unmount;
    if (share) {
        const QString mounted = dir->path() + "/share";
        makeDirs(mounted);
        server.start(TESTS_DIR "/../bench/slowfs", {master, mounted, "1", "10"});
        unmount.path = mounted;
        // (Not the check file: the starter is the first to ask for its details.)
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(mounted + "/lib"), 10000);
        args << "-m" << mounted;
    }
    const QByteArray release = standIn(3000000 - standIn(0).size());
    QAtomicInt written;
    std::thread writer([&] {
        QFile file(master + "/quorvane.exe");
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered));
        if (!growing)
            QVERIFY(file.resize(release.size()));
        for (int at = 0; at < release.size(); at += chunkKB * 1000) {
            file.write(release.mid(at, chunkKB * 1000));
            QThread::msleep(ulong(everyMs));
        }
        written.storeRelease(1);
    });
    QThread::msleep(200);
    QStringList prefix;
    if (syncDelayMs > 0)
        prefix = QStringList{"strace", "--seccomp-bpf", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fdatasync,syncfs",
                             "-e", QString("inject=fdatasync,syncfs:delay_enter=%1").arg(syncDelayMs * 1000)};
    const Run run = start(args, false, prefix);
    const bool leftFirst = !written.loadAcquire();
    writer.join();
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.status, 0);
    const QByteArray installed = readFile(target + "/quorvane.exe");
    QVERIFY2(installed == release || installed == standIn(10),
             qPrintable(QString("%1 bytes, %2 of them zeros").arg(installed.size()).arg(installed.count('\0'))));
    if (givesUp) {
        QVERIFY(leftFirst);
        QCOMPARE(readFile(target + "/lib/core.dll"), QByteArray("core 1"));
        QVERIFY(readFile(target + "/quorvane-starter.log").contains(" master still changing: 0 files"));
    }
}

void StarterTest::directorySyncFails_data()
{
    QTest::addColumn<QString>("directory"); // in the target, whose sync fails
    QTest::addColumn<QString>("closing");   // the log's last line, after its time
    QTest::addColumn<QByteArray>("plugin"); // a new file of the update, afterwards
    QTest::newRow("one the copies went into") << "lib/plugins"
        << "update incomplete: 0 files, 0.0 MB in %S s; 1 failures, the next start tries again; all taken back out"
        << QByteArray("<unreadable>");
    QTest::newRow("the check file's") << ""
        << "update in place, not known to be on disk: 3 files, 0.0 MB in %S s; the check file's directory "
           "could not be synced" << QByteArray("plugin 2");
}

// A directory that fails to sync (a disk going bad): said, and the check
// file says only what is known to be on disk: before it goes in, the tree
// is taken back out.
void StarterTest::directorySyncFails()
{
    QFETCH(QString, directory);
    QFETCH(QString, closing);
    QFETCH(QByteArray, plugin);
    if (onWindows())
        QSKIP("strace: Linux only");
    makeInstallation();
    const QString path = directory.isEmpty() ? target : target + "/" + directory;
    const Run run = start({}, false, {"strace", "-f", "-qq", "-o", "/dev/null", "-P", path, "-e", "trace=fsync",
                                      "-e", "inject=fsync:error=EIO"});
    QCOMPARE(QString::fromUtf8(run.err), "quorvane-starter: cannot update " + path + ": Input/output error\n");
    QCOMPARE(run.status, 0);
    QCOMPARE(readFile(target + "/lib/plugins/p.dll"), plugin);
    QCOMPARE(readFile(target + "/quorvane.exe"), standIn(directory.isEmpty() ? 20 : 10));
    const QStringList log = QString::fromUtf8(readFile(target + "/quorvane-starter.log")).split('\n');
    QVERIFY2(QRegularExpression("^" + QRegularExpression::escape(closing).replace("\\%S", "[0-9.]+") + "$")
                 .match(log.value(log.size() - 2).mid(log.value(log.size() - 2).indexOf(' ') + 1)).hasMatch(),
             qPrintable(log.join('\n')));
}

void StarterTest::startersAtOnce_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("fullLog"); // one of them cuts the log back
    QTest::newRow("2") << 2 << false;
    QTest::newRow("3") << 3 << false;
    QTest::newRow("8") << 8 << false;
    QTest::newRow("2, the log at its limit") << 2 << true;
    QTest::newRow("8, the log at its limit") << 8 << true;
}

// Clicked several times during a long update: one starter updates, the others
// wait for it; all of them start the new program, and nothing is said.
void StarterTest::startersAtOnce()
{
    QFETCH(int, count);
    QFETCH(bool, fullLog);
    const QByteArray oldLine = "an earlier line\n";
    for (int round = 0; round < 2; ++round) {
        QDir(target).removeRecursively();
        makeInstallation();
        if (fullLog)
            writeFile(target + "/quorvane-starter.log", oldLine.repeated(UpdateLogLimit / oldLine.size()));
        for (int i = 0; i < 300; ++i)
            writeFile(QString("%1/data/d%2/f%3").arg(master).arg(i % 10).arg(i), QByteArray(2000 + i, 'd'));

        std::vector<std::unique_ptr<QProcess>> starters;
        std::vector<std::unique_ptr<QTemporaryDir>> outputs;
        // Held at the start line until all are there: on a busy machine the
        // last one might otherwise come after the update.
        const QString go = dir->path() + QString("/go%1").arg(round);
        const QStringList atTheLine{"sh", "-c", "while [ ! -e \"$0\" ]; do sleep 0.01; done; exec \"$@\"", go};
        for (int i = 0; i < count; ++i) {
            starters.emplace_back(new QProcess);
            outputs.emplace_back(new QTemporaryDir);
            startStarter(*starters[i], {"-m", master, "-t", target}, dir->path(), record + QString::number(i),
                         outputs[i]->path(), false, atTheLine);
        }
        writeFile(go, "");
        for (int i = 0; i < count; ++i) {
            const Run run = finishStarter(*starters[i], outputs[i]->path());
            QCOMPARE(run.err, QByteArray()); // first: it tells most
            QCOMPARE(run.out, syncing);
            QCOMPARE(run.status, 0);
            const Launch launch = waitForLaunch(record + QString::number(i));
            QVERIFY(launch.happened);
            QCOMPARE(launch.size, qint64(standIn(20).size())); // the new program
        }
        verifyMirrored();
        QVERIFY(!QFileInfo::exists(target + "/.quorvane-starter.lock"));

        // Every starter's lines are whole in the log: one updated, the others waited.
        const QString log = QString::fromUtf8(readFile(target + "/quorvane-starter.log")).replace("\r\n", "\n");
        const QRegularExpression event("^(update begins: master .* bytes\\)|update complete: .*"
                                       "|waited \\d+ s for another starter's update"
                                       "|update done meanwhile by another starter)$");
        QStringList lines = log.split('\n');
        QCOMPARE(lines.takeLast(), QString());
        lines.removeAll(QString::fromUtf8(oldLine).trimmed());
        for (const QString &logged : lines) {
            const QRegularExpressionMatch stamp = logStamp.match(logged);
            QVERIFY2(stamp.hasMatch() && event.match(logged.mid(stamp.capturedLength())).hasMatch(), qPrintable(log));
        }
        QCOMPARE(log.count(" update begins: "), count);
        QCOMPARE(log.count(" update complete: "), 1);
        QCOMPARE(log.count(" update done meanwhile by another starter\n"), count - 1);
    }
}

// Replacing a check file that is in use moves it aside for a moment. A
// starter clicked then has found an update under way, not a missing
// installation: it waits for the update and starts the new program.
void StarterTest::clickedWhileCheckFileIsAside()
{
    makeInstallation();
    QVERIFY(QFile::remove(target + "/quorvane.exe"));
    const QString lock = target + "/.quorvane-starter.lock";
    writeFile(lock, "1\nquorvane-starter\nanother-workstation\n"); // another starter at work
    QTemporaryDir output;
    QProcess starter;
    startStarter(starter, {"-m", master, "-t", target}, dir->path(), record, output.path());
    const QString log = target + "/quorvane-starter.log"; // written just before the lock is waited for
    QElapsedTimer timer;
    timer.start();
    while (!QFileInfo::exists(log) && starter.state() != QProcess::NotRunning && timer.elapsed() < 60000)
        starter.waitForFinished(50);
    QVERIFY2(QFileInfo::exists(log), "the starter did not wait for the update");

    // The other starter puts the new check file in place and lets go.
    QVERIFY(QFile::copy(master + "/quorvane.exe", target + "/quorvane.exe"));
    QVERIFY(QFile::remove(lock));
    const Run run = finishStarter(starter, output.path());
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, syncing);
    QCOMPARE(run.err, QByteArray());
    const Launch launch = waitForLaunch(record);
    QVERIFY(launch.happened);
    QCOMPARE(launch.size, qint64(standIn(20).size()));
}

void StarterTest::leftoverLocks_data()
{
    QTest::addColumn<QString>("lock");    // what a starter that is gone left behind
    QTest::addColumn<bool>("old");        // left a while ago
    QTest::addColumn<bool>("asUser");     // in a target the user cannot write ...
    QTest::addColumn<int>("forMs");       // ... for good (0), or for this long (-1: the lock alone is root's)
    QTest::addColumn<QString>("line");    // %L: the lock's path
    QTest::addColumn<int>("atMostS");     // how long it may take
    const QString takenOver = "took over the lock %L of a starter that is no longer at work\n";
    const QString without = "cannot remove the stale lock %L, updating without it\n";
    const QString dead = "%P\nquorvane-starter\n\n";
    QTest::newRow("empty") << "" << true << false << 0 << takenOver << 5;
    QTest::newRow("garbage") << "\x01\x02 not a lock \xff" << true << false << 0 << takenOver << 5;
    // Its time says nothing (another clock): it is stale once it has not changed for 30 s.
    QTest::newRow("another machine's") << "1\nquorvane-starter\nanother-workstation\n" << true << false << 0
                                       << takenOver << 40;
    QTest::newRow("a dead starter's, just left") << dead << false << false << 0 << takenOver << 5;
    QTest::newRow("a directory") << "<dir>" << true << false << 0 << without << 10;
    QTest::newRow("a link to nothing") << "<link to nothing>" << true << false << 0 << takenOver << 5;
    QTest::newRow("a link to a file elsewhere") << "<link to a file>" << true << false << 0 << takenOver << 5;
    QTest::newRow("a dead starter's, where the user cannot write") << dead << true << true << 0 << without << 10;
    // As while other starters read it on Windows: not a lock to update without.
    QTest::newRow("a dead starter's, that cannot be removed for a moment") << dead << true << true << 1000
                                                                          << takenOver << 10;
    QTest::newRow("a dead starter's, root's, where the user may write") << dead << true << true << -1
                                                                       << takenOver << 5;
}

// A lock that no starter is working under never keeps the program from
// starting: it is taken over, or the update goes on without it, and a line
// says which. Nothing is written through a lock that is a link.
void StarterTest::leftoverLocks()
{
    QFETCH(QString, lock);
    QFETCH(bool, old);
    QFETCH(bool, asUser);
    QFETCH(int, forMs);
    QFETCH(QString, line);
    QFETCH(int, atMostS);
    if (asUser && !isRoot())
        QSKIP("needs root: runs the starter as another user");
    if (lock.startsWith("<link") && onWindows())
        QSKIP("Wine shows a Unix link as what it leads to, or as nothing: no Windows link to try");
    makeInstallation();
    const QString path = target + "/.quorvane-starter.lock";
    const QString elsewhere = dir->path() + "/elsewhere";
    QProcess gone; // a process id that no longer runs
    gone.start("true", QStringList());
    QVERIFY(gone.waitForStarted());
    const qint64 pid = gone.processId();
    QVERIFY(gone.waitForFinished());
    if (lock == "<dir>") {
        makeDirs(path);
    } else if (lock.startsWith("<link")) {
        if (lock == "<link to a file>")
            writeFile(elsewhere, "precious");
        QVERIFY(QFile::link(elsewhere, path));
    } else {
        writeFile(path, lock.replace("%P", QString::number(pid)).toLatin1());
    }
    if (old)
        QCOMPARE(QProcess::execute("touch", {"-h", "-d", "1 hour ago", path}), 0);
    if (asUser) { // the master readable, the target not writable
        QVERIFY(QFile::setPermissions(dir->path(), QFile::permissions(dir->path()) | QFile::ExeOther
                                                       | QFile::ReadOther));
        giveToNobody(dir->path() + "/record");
    }
    if (forMs < 0) { // the target is the user's, the lock root's
        giveToNobody(target);
        QCOMPARE(QProcess::execute("chown", {"0:0", path}), 0);
    }

    std::thread letGo([&] { // the target becomes the user's
        if (forMs > 0) {
            QThread::msleep(ulong(forMs));
            QProcess::execute("chown", {"-R", "65534:65534", target});
        }
    });

    QElapsedTimer timer;
    timer.start();
    const Run run = start({}, asUser);
    letGo.join();
    QVERIFY2(timer.elapsed() < atMostS * 1000, "waited for a lock nobody holds");
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, syncing);
    const QString expected = "quorvane-starter: " + line.replace("%L", shown(path));
    QVERIFY2(QString::fromUtf8(run.err).startsWith(expected), run.err.constData());
    QVERIFY(waitForLaunch(record).happened);
    QCOMPARE(QFileInfo::exists(elsewhere), lock == "<link to a file>");
    if (QFileInfo::exists(elsewhere))
        QCOMPARE(readFile(elsewhere), QByteArray("precious"));
    if (!asUser || forMs != 0) { // the update is done as well
        QCOMPARE(QString::fromUtf8(run.err), expected);
        verifyMirrored();
        QFile::remove(record);
        QCOMPARE(start().out, synced);
        QVERIFY(waitForLaunch(record).happened); // before the directory goes
    }
}

// A starter clicked while another one's update is held up (a debugger, a
// paused machine, an overloaded workstation) waits for it, however old the
// lock's time looks, and then starts the program the update brought.
void StarterTest::liveUpdateIsWaitedFor()
{
    if (onWindows())
        QSKIP("holds the first starter up with strace: Linux only");
    writeStandIn(master + "/quorvane.exe", 20);
    writeFile(master + "/lib/core.dll", "core 2");
    writeStandIn(target + "/quorvane.exe", 10);
    QTemporaryDir firstOut, secondOut;
    QProcess first, second;
    // The first starter stops for 3 s in its first sync (of a copy, or of
    // the whole batch), with the lock made.
    startStarter(first, {"-m", master, "-t", target}, dir->path(), record + "1", firstOut.path(), false,
                 {"strace", "--seccomp-bpf", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fdatasync,syncfs",
                  "-e", "inject=fdatasync,syncfs:delay_enter=3000000:when=1"});
    const QString lock = target + "/.quorvane-starter.lock";
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(lock), 10000);
    // Meanwhile the clock was stepped: the lock looks an hour old.
    QCOMPARE(QProcess::execute("touch", {"-d", "1 hour ago", lock}), 0);
    startStarter(second, {"-m", master, "-t", target}, dir->path(), record + "2", secondOut.path());

    const Run updating = finishStarter(first, firstOut.path());
    const Run waiting = finishStarter(second, secondOut.path());
    QCOMPARE(updating.err, QByteArray());
    QCOMPARE(waiting.err, QByteArray());
    QCOMPARE(updating.out, syncing);
    QCOMPARE(waiting.out, syncing);
    const Launch one = waitForLaunch(record + "1"), two = waitForLaunch(record + "2");
    QCOMPARE(one.size, qint64(standIn(20).size()));
    QCOMPARE(two.size, qint64(standIn(20).size()));
    // The second found the first's update done (it started the new program
    // above): it waited, and did not update beside it. (Which of the two
    // starts the program first is a race: the first runs under strace.)
    const QByteArray log = readFile(target + "/quorvane-starter.log");
    QCOMPARE(log.count(" update complete: "), 1);
    QCOMPARE(log.count(" update done meanwhile by another starter"), 1);
    verifyMirrored();
}

// An update while the application runs: Windows cannot replace a running
// program, but can rename it; the running one keeps its file, the next start
// gets the new one, and the old file goes once it is free.
void StarterTest::updateWhileRunning()
{
    makeInstallation();
    qputenv("QUORVANE_TEST_LINGER", "4");
    QCOMPARE(start().status, 0);
    qunsetenv("QUORVANE_TEST_LINGER");
    QVERIFY(waitForLaunch(record).happened);

    writeStandIn(master + "/quorvane.exe", 30); // the next release, while the program runs
    writeFile(master + "/lib/core.dll", "core 3");
    const QString second = record + "2";
    const Run run = runStarter({"-m", master, "-t", target}, dir->path(), second);
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.out, syncing);
    QCOMPARE(run.status, 0);
    QCOMPARE(readFile(target + "/quorvane.exe"), standIn(30));
    QCOMPARE(readFile(target + "/lib/core.dll"), QByteArray("core 3"));
    QCOMPARE(waitForLaunch(second).size, qint64(standIn(30).size()));
    // On Windows the old program was moved aside, and stays while it runs,
    // under that name and the second name it was kept under meanwhile.
    QCOMPARE(partialCopiesIn(target).size(), onWindows() ? 2 : 0);

    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record + ".done"), 15000); // the first one ended
    writeStandIn(master + "/quorvane.exe", 40);
    QCOMPARE(start().status, 0);
    QCOMPARE(partialCopiesIn(target), QStringList());
}

// Read-only master files arrive read-only, and are replaced by the next release.
void StarterTest::readOnlyFiles()
{
    makeInstallation();
    const QFile::Permissions readOnly = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
    writeFile(master + "/lib/ro.dll", "release 2");
    QVERIFY(QFile::setPermissions(master + "/lib/ro.dll", readOnly));
    QCOMPARE(start().err, QByteArray());
    QCOMPARE(readFile(target + "/lib/ro.dll"), QByteArray("release 2"));
    QVERIFY(!(QFile::permissions(target + "/lib/ro.dll") & QFile::WriteOwner));

    QVERIFY(QFile::setPermissions(master + "/lib/ro.dll", readOnly | QFile::WriteOwner));
    writeFile(master + "/lib/ro.dll", "release 3, longer");
    QVERIFY(QFile::setPermissions(master + "/lib/ro.dll", readOnly));
    writeStandIn(master + "/quorvane.exe", 30);
    const Run run = start();
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.status, 0);
    QCOMPARE(readFile(target + "/lib/ro.dll"), QByteArray("release 3, longer"));
    QVERIFY(!(QFile::permissions(target + "/lib/ro.dll") & QFile::WriteOwner));
    QCOMPARE(readFile(target + "/quorvane.exe"), standIn(30));
}

// An installation whose paths pass 260 characters (Windows' old limit).
void StarterTest::longTargetPath()
{
    makeInstallation();
    const QString deep = dir->path() + "/" + QString(120, 't') + "/" + QString(120, 'u') + "/installed";
    makeDirs(QFileInfo(deep).path());
    QVERIFY(QDir().rename(target, deep));
    target = deep;
    writeFile(master + "/lib/plugins/" + QString(40, 'p') + ".dll", "long");
    QVERIFY((target + "/lib/plugins/" + QString(40, 'p') + ".dll").size() > 300);

    const Run run = start();
    QCOMPARE(run.out, syncing);
    verifyMirrored();
    if (onWindows())
        QSKIP("updated; but Wine cannot start a program from a path past 260 characters, not even by its "
              "short name, which works on Windows");
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.status, 0);
    QCOMPARE(waitForLaunch(record).size, qint64(standIn(20).size()));
}

// Windows' own rules for names: the configuration ignores case, hidden means
// the hidden attribute, and of two master names that differ only in case
// the later one wins.
void StarterTest::windowsNames()
{
    if (!onWindows())
        QSKIP("Windows names: the Windows build only");
    makeInstallation();
    writeFile(master + "/QuorvaneGlobal.conf.xml", "<master, other case/>");
    writeFile(master + "/lib/secret.dat", "hidden by attribute");
    writeFile(master + "/lib/.profile", "hidden by name");
    QCOMPARE(runWine({"attrib", "+h", shown(master + "/lib/secret.dat")}, dir->path()), 0);
    writeFile(master + "/Data.txt", "first");
    writeFile(master + "/data.txt", "second");

    const Run run = start();
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.status, 0);
    QCOMPARE(readFile(target + "/quorvaneglobal.conf.xml"), QByteArray("<local/>"));
    QVERIFY(!QFileInfo::exists(target + "/QuorvaneGlobal.conf.xml"));
    QVERIFY(!QFileInfo::exists(target + "/lib/secret.dat"));
    QVERIFY(!QFileInfo::exists(target + "/lib/.profile"));
    QCOMPARE(readFile(target + "/lib/core.dll"), QByteArray("core 2"));
    const QStringList data = QDir(target).entryList({"data.txt"}, QDir::Files); // either name
    QCOMPARE(data.size(), 1);
    QCOMPARE(readFile(target + "/" + data.first()), QByteArray("second"));
}

void StarterTest::progressOnTerminal_data()
{
    QTest::addColumn<int>("columns"); // 0: as the terminal has it
    QTest::newRow("a terminal of its own width") << 0;
    QTest::newRow("a terminal narrower than the line") << 20;
}

// On a terminal an update shows how far it has come, on one line that is
// wiped before the closing message, and never wraps; elsewhere it adds
// nothing (see the other tests, whose standard error stays empty).
void StarterTest::progressOnTerminal()
{
    QFETCH(int, columns);
    if (onWindows())
        QSKIP("Wine's console is no Windows console on a pseudo-terminal");
    makeInstallation();
    for (int i = 0; i < 50; ++i)
        writeFile(QString("%1/data/f%2").arg(master).arg(i), QByteArray(20000, 'p'));
    QProcess script;
    script.setWorkingDirectory(dir->path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUORVANE_TEST_RECORD", record);
    script.setProcessEnvironment(env);
    QString command = QString("'%1' -m '%2' -t '%3' 2>&1").arg(STARTER_PATH, master, target);
    if (columns > 0)
        command.prepend(QString("stty cols %1; ").arg(columns));
    script.start("script", {"-qfec", command, "/dev/null"});
    QVERIFY(script.waitForFinished(60000));
    QCOMPARE(script.exitCode(), 0);
    const QByteArray screen = script.readAllStandardOutput();
    QVERIFY2(screen.startsWith("Synchronizuji program, cekejte prosim ...\r\n\r"), screen.constData());
    if (columns > 0) { // cut to the width, each redraw and each wipe
        QVERIFY2(screen.contains("\r53 of 53 files, 1.0 \r"), screen.constData());
        for (const QByteArray &drawn : screen.mid(screen.indexOf('\n')).split('\r'))
            QVERIFY2(drawn.size() <= columns, drawn.constData());
        verifyMirrored();
        return;
    }
    // At 100 % at the end (the check file too; then, as the master was
    // written just now, a look at it again), wiped with blanks, then the
    // usual closing line.
    const QRegularExpression end("\r53 of 53 files, 1\\.0 of 1\\.0 MB *"
                                 "(\rthe master copy is being written, waiting for it to finish *)?"
                                 "\r *\rSynchronizovano\r\n$");
    QVERIFY2(end.match(QString::fromLatin1(screen)).hasMatch(), screen.constData());
    verifyMirrored();
}

void StarterTest::targetsThatKeepLess_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<QString>("masterTime"); // for touch -d, on lib/core.dll
    // exFAT, as on a USB disk: whole seconds, no permissions.
    QTest::newRow("exFAT") << "exfat" << "";
    // ext4 with small inodes ends in 2038; a master time in 2099 cannot be kept.
    QTest::newRow("times end in 2038") << "ext4 -I 128" << "2099-06-01 12:00:00.25";
}

// A target that cannot keep what the master's files have does not make
// every update copy everything again and hold the check file back: the
// first start completes, and the next one finds the installation current.
void StarterTest::targetsThatKeepLess()
{
    QFETCH(QString, fileSystem);
    QFETCH(QString, masterTime);
    if (!isRoot())
        QSKIP("needs root: mounts a file system image");
    if (onWindows())
        QSKIP("Linux mounts");
    const QString image = dir->path() + "/target.img";
    QCOMPARE(QProcess::execute("truncate", {"-s", "64M", image}), 0);
    makeDirs(target);
    struct Undo {
        QStringList commands;
        ~Undo() { for (const QString &c : commands) QProcess::execute("sh", {"-c", c}); }
    } undo;
    QCOMPARE(QProcess::execute("sh", {"-c", "mkfs." + fileSystem + " " + image + " >/dev/null 2>&1"}), 0);
    if (fileSystem == "exfat") { // through FUSE, which wants a block device
        QProcess loop;
        loop.start("losetup", {"-f", "--show", image});
        QVERIFY(loop.waitForFinished());
        const QString device = QString::fromUtf8(loop.readAllStandardOutput()).trimmed();
        QVERIFY(!device.isEmpty());
        undo.commands << "umount -l " + target << "losetup -d " + device; // lazily: the program may still run from it
        QCOMPARE(QProcess::execute("mount.exfat-fuse", {device, target}), 0);
    } else {
        undo.commands << "umount -l " + target;
        QCOMPARE(QProcess::execute("mount", {"-o", "loop", image, target}), 0);
    }
    makeInstallation();
    if (!masterTime.isEmpty())
        QCOMPARE(QProcess::execute("touch", {"-d", masterTime, master + "/lib/core.dll"}), 0);

    const Run first = start();
    QCOMPARE(first.err, QByteArray());
    QCOMPARE(first.out, syncing);
    verifyMirrored();
    QCOMPARE(readFile(target + "/quorvane.exe"), standIn(20));
    QFile::remove(record);
    QCOMPARE(start().out, synced);
    QVERIFY(waitForLaunch(record).happened);
}

// A check file in the master that is no file (a pipe) never stops the run.
void StarterTest::checkFileThatIsNoFile()
{
    if (onWindows())
        QSKIP("Unix pipes");
    makeInstallation();
    QVERIFY(QFile::remove(master + "/quorvane.exe"));
    QCOMPARE(mkfifo(QFile::encodeName(master + "/quorvane.exe").constData(), 0644), 0);
    QElapsedTimer timer;
    timer.start();
    const Run run = start();
    QVERIFY(timer.elapsed() < 20000);
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, syncing);
    QCOMPARE(QString::fromUtf8(run.err), "quorvane-starter: cannot read " + master + "/quorvane.exe: Not a regular file\n");
    QCOMPARE(readFile(target + "/quorvane.exe"), standIn(10));
    QCOMPARE(readFile(target + "/lib/core.dll"), QByteArray("core 1"));
    QVERIFY(waitForLaunch(record).happened);
}

void StarterTest::unusualStandardStreams_data()
{
    QTest::addColumn<QString>("redirection"); // in bash, before the starter runs
    QTest::newRow("output to a pipe nobody reads") << "exec > >(exit 0); sleep 0.3";
    QTest::newRow("output closed") << "exec >&-";
    QTest::newRow("error output closed") << "exec 2>&-";
    QTest::newRow("input closed") << "exec <&-";
}

// Started with standard streams that are closed, or lead nowhere, the
// starter still updates and starts the program, and its lines never end up
// in a file of the installation.
void StarterTest::unusualStandardStreams()
{
    QFETCH(QString, redirection);
    if (onWindows())
        QSKIP("Unix descriptors");
    makeInstallation();
    writeFile(master + "/blocked.dll", "new");
    makeDirs(target + "/blocked.dll"); // one failure line to write
    const Run run = start({}, false, {"bash", "-c", redirection + "; exec \"$@\"", "bash"});
    QCOMPARE(run.status, 0);
    QCOMPARE(readFile(target + "/lib/core.dll"), QByteArray("core 1")); // nothing goes in after a failure
    QVERIFY(waitForLaunch(record).happened);
    QMap<QString, QByteArray> tree = treeOf(target);
    QVERIFY(tree.take("quorvane-starter.log").contains("quorvane-starter: cannot update")); // the log holds it, as it should
    for (const QByteArray &contents : tree)
        QVERIFY2(!contents.contains("quorvane-starter") && !contents.contains("Synchronizovano"), contents.constData());
    QVERIFY(!QFileInfo::exists(target + "/.quorvane-starter.lock"));
}

void StarterTest::filesHeldByOthers_data()
{
    QTest::addColumn<QString>("held");     // %T: target, %M: master; new master files are made
    QTest::addColumn<double>("seconds");
    QTest::addColumn<QString>("err");      // #: any number
    QTest::newRow("a library, for a moment") << "%T/lib/core.dll" << 1.5 << "";
    QTest::newRow("a master file, for a moment") << "%M/lib/core.dll" << 1.5 << "";
    QTest::newRow("a library, for long") << "%T/lib/core.dll" << 60.0
        << "cannot update %T/lib/core.dll: Access denied. (tried again for 5 s)\n";
    QTest::newRow("a master file, for long") << "%M/lib/core.dll" << 60.0
        << "cannot read %M/lib/core.dll: Sharing violation. (tried again for 5 s)\n";
    // Eight workers wait side by side and spend the run's 20 s of waiting in
    // under 3; the ninth file is not waited for at all.
    QString nine, nineErr;
    for (int i = 1; i <= 9; ++i) {
        nine += QString(" %M/lib/held%1.dll").arg(i);
        nineErr += QString("cannot read %M/lib/held%1.dll: Sharing violation. ").arg(i)
                   + (i < 9 ? "(tried again for # s)\nquorvane-starter: "
                            : "(not tried again: the run has waited 20 s for files in use)\n");
    }
    QTest::newRow("nine master files, for long") << nine.mid(1) << 60.0 << nineErr;
}

// A file that another program holds without sharing it (a virus scanner, a
// backup agent) is waited for a little: held for a moment, it is updated
// without a word; held for long, it is one failure, and the run still ends
// soon and starts the program.
void StarterTest::filesHeldByOthers()
{
    QFETCH(QString, held);
    QFETCH(double, seconds);
    QFETCH(QString, err);
    if (!onWindows())
        QSKIP("Windows' sharing modes: the Windows build only");
    makeInstallation();
    const QStringList paths = held.replace("%T", target).replace("%M", master).split(' ');
    for (const QString &path : paths) {
        if (!QFileInfo::exists(path))
            writeFile(path, "held");
    }
    QProcess holder;
    QVERIFY(holdFiles(holder, paths, seconds));

    QElapsedTimer timer;
    timer.start();
    const Run run = start();
    QVERIFY(timer.elapsed() < 30000);
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, syncing);
    const QString expected =
        err.isEmpty() ? QString() : "quorvane-starter: " + shown(err.replace("%T", target).replace("%M", master));
    const QRegularExpression pattern(
        "^" + QRegularExpression::escape(expected).replace("\\#", "[0-9]+") + "$");
    QVERIFY2(pattern.match(QString::fromUtf8(run.err)).hasMatch(), run.err.constData());
    QVERIFY(waitForLaunch(record).happened);
    QCOMPARE(readFile(target + "/quorvane.exe"), err.isEmpty() ? standIn(20) : standIn(10));
    if (err.isEmpty())
        QCOMPARE(readFile(target + "/lib/core.dll"), QByteArray("core 2"));
    holder.kill();
    holder.waitForFinished();
}

void StarterTest::updateLog_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QStringList>("lines"); // after each line's time; %B: the usual first line, %E: stderr's lines
    const QString begin = "update begins: master %M (check file %1 bytes), target %T (check file %2 bytes)";
    const QString first = begin.arg(standIn(20).size()).arg(standIn(10).size());
    const QString complete = "update complete: 3 files, 0.0 MB in %S s"; // %S: any number of seconds
    QTest::newRow("a clean update") << "clean" << QStringList{first, complete};
    QTest::newRow("a file that cannot be updated") << "blocked"
        << QStringList{first, "%E", "update incomplete: 0 files, 0.0 MB in %S s; 1 failures, the next start tries again"};
    QTest::newRow("a lock taken over") << "lock" << QStringList{first, "%E", complete};
    // A name cannot forge a line: it shows its line break, in the log as on standard error.
    QTest::newRow("a name with a line break") << "line break"
        << QStringList{first, "quorvane-starter: cannot update %T/evil<0A>2026-01-01T00:00:00+01:00 update complete: "
                              "forged: Is a directory",
                       "update incomplete: 0 files, 0.0 MB in %S s; 1 failures, the next start tries again"};
    QTest::newRow("an update cut short, and the next") << "interrupted"
        << QStringList{first, first, "%E", "update complete: %S files, %S MB in %S s"};
    QTest::newRow("a log grown past a megabyte") << "long log" << QStringList{first, complete};
    QTest::newRow("a log of 5 GB, sparse") << "huge log" << QStringList{first, complete};
    QTest::newRow("a master with a log of its own") << "master log" << QStringList{first, complete};
    QTest::newRow("a target the user cannot write") << "unwritable" << QStringList{};
    // Never written through, nothing made where it leads, never waited for.
    QTest::newRow("a link to a file elsewhere") << "link" << QStringList{};
    QTest::newRow("a link to nothing") << "dangling link" << QStringList{};
    QTest::newRow("a pipe") << "pipe" << QStringList{};
}

// Every update, and nothing else, leaves its lines in the installation's
// log: when it began, every line it wrote on standard error, and how it
// ended.
void StarterTest::updateLog()
{
    QFETCH(QString, situation);
    QFETCH(QStringList, lines);
    makeInstallation();
    const QString log = target + "/quorvane-starter.log";
    QByteArray oldLog;
    bool asUser = false;
    if (situation == "blocked") {
        writeFile(master + "/blocked.dll", "new");
        makeDirs(target + "/blocked.dll");
    } else if (situation == "line break") {
        if (onWindows())
            QSKIP("no such name on Windows");
        const QString name = "/evil\n2026-01-01T00:00:00+01:00 update complete: forged";
        writeFile(master + name, "new");
        makeDirs(target + name);
    } else if (situation == "lock") {
        writeFile(target + "/.quorvane-starter.lock", "");
        QCOMPARE(QProcess::execute("touch", {"-d", "1 hour ago", target + "/.quorvane-starter.lock"}), 0);
    } else if (situation == "interrupted") {
        writeFile(master + "/lib/zbig.dat", QByteArray(2 * 1024 * 1024, 'b'));
        writeFile(master + "/zz/late.txt", "late");
        QVERIFY(start({}, false, {"prlimit", "--fsize=1048576"}).status != 0);
    } else if (situation.endsWith("long log") || situation == "huge log") {
        for (int i = 0; oldLog.size() < (situation == "huge log" ? 8000 : 2 * 1024 * 1024); ++i)
            oldLog += QByteArray::number(i) + " an earlier line of the log, long enough to fill it soon\n";
        QFile file(log);
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (situation == "huge log") // nothing but its last lines on the disk
            QVERIFY(file.resize(Q_INT64_C(5) << 30) && file.seek(file.size()));
        QCOMPARE(file.write(oldLog), qint64(oldLog.size()));
    } else if (situation == "master log") {
        writeFile(master + "/quorvane-starter.log", "the master's own log\n");
    } else if (situation.contains("link") || situation == "pipe") {
        if (onWindows())
            QSKIP("Wine shows a Unix link as what it leads to: no Windows link to try");
        if (situation == "link")
            writeFile(dir->path() + "/elsewhere", "precious");
        if (situation == "pipe")
            QCOMPARE(mkfifo(QFile::encodeName(log).constData(), 0644), 0);
        else
            QVERIFY(QFile::link(dir->path() + "/elsewhere", log));
    } else if (situation == "unwritable") {
        if (!isRoot())
            QSKIP("needs root: runs the starter as another user");
        asUser = true;
        QVERIFY(QFile::setPermissions(dir->path(), QFile::permissions(dir->path()) | QFile::ExeOther
                                                       | QFile::ReadOther));
        giveToNobody(dir->path() + "/record");
    }

    const Run run = start({}, asUser);
    QVERIFY2(run.status == 0, run.err.constData());
    QVERIFY(waitForLaunch(record).happened);
    if (lines.isEmpty()) { // no log, and nothing said of it
        QVERIFY(situation == "pipe" || !QFileInfo::exists(log) || readFile(log) == "precious");
        QCOMPARE(QFileInfo::exists(dir->path() + "/elsewhere"), situation == "link");
        QVERIFY2(!run.err.contains("log"), run.err.constData());
        return;
    }
    QByteArray text = readFile(log);
    if (onWindows()) {
        QVERIFY2(!text.contains("\n") || text.contains("\r\n"), "lines end in CR LF on Windows");
        text.replace("\r\n", "\n");
    }
    QByteArray newText = text;
    if (situation.endsWith("log") && oldLog.size() > 0) { // the older part went, from a line's start
        QVERIFY(text.size() < UpdateLogLimit);
        const int ours = text.lastIndexOf('\n', text.indexOf(" update begins")) + 1;
        QVERIFY(ours > 0);
        QVERIFY(oldLog.endsWith(text.left(ours)));
        QVERIFY(oldLog.contains("\n" + text.left(text.indexOf('\n') + 1)));
        newText = text.mid(ours);
    }
    QStringList logged = QString::fromUtf8(newText).split('\n');
    QCOMPARE(logged.takeLast(), QString());
    const QStringList errLines = QString::fromUtf8(run.err).split('\n', Qt::SkipEmptyParts);
    QStringList expected;
    for (const QString &line : lines) {
        if (line == "%E")
            expected += errLines;
        else
            expected << QString(line).replace("%M", shown(master)).replace("%T", shown(target));
    }
    QVERIFY2(logged.size() == expected.size(), qPrintable(logged.join("\n")));
    for (int i = 0; i < logged.size(); ++i) {
        QVERIFY2(logStamp.match(logged[i]).hasMatch(), qPrintable(logged[i]));
        const QString event = logged[i].mid(logStamp.match(logged[i]).capturedLength());
        const QString pattern = QRegularExpression::escape(expected[i]).replace("\\%S", "[0-9.]+");
        QVERIFY2(QRegularExpression("^" + pattern + "$").match(event).hasMatch(),
                 qPrintable(event + " <> " + expected[i]));
    }
    QFile::remove(record);
    const Run current = start(); // a start that finds nothing to do writes nothing
    const bool failsAgain = situation == "blocked" || situation == "line break";
    QCOMPARE(current.out, failsAgain ? syncing : synced);
    if (!failsAgain)
        QCOMPARE(readFile(log).replace("\r\n", "\n"), text);
}

// A starter kept inside the installation it updates replaces itself when
// the master holds a newer one, while it runs; the next start runs the new one.
void StarterTest::starterUpdatesItself()
{
    makeInstallation();
    const QString name = onWindows() ? "/bin/quorvane-starter.exe" : "/bin/quorvane-starter";
    const QByteArray built = readFile(starterPath());
    const QByteArray newer = built + QByteArray(4096, '\0'); // runs alike, another size
    writeFile(target + name, built);
    writeFile(master + name, newer);
    for (const QString &path : {target + name, master + name})
        QVERIFY(QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner | QFile::ExeOther));
    makeOld(target);
    struct Restore { ~Restore() { useStarter(QString()); } } restore;
    useStarter(target + name);

    const Run run = start();
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, syncing);
    QCOMPARE(readFile(target + name), newer);
    QCOMPARE(readFile(target + "/quorvane.exe"), standIn(20));
    QVERIFY(waitForLaunch(record).happened);
    // The old starter was moved aside on Windows while it ran (and kept under
    // a second name meanwhile); it goes with a later update.
    QCOMPARE(partialCopiesIn(target).size(), onWindows() ? 2 : 0);

    writeStandIn(master + "/quorvane.exe", 30);
    QFile::remove(record);
    const Run next = start(); // the new starter, now in place
    QCOMPARE(next.err, QByteArray());
    QCOMPARE(next.out, syncing);
    QCOMPARE(readFile(target + "/quorvane.exe"), standIn(30));
    QCOMPARE(partialCopiesIn(target), QStringList());
}

QTEST_GUILESS_MAIN(StarterTest)
#include "tst_starter.moc"
