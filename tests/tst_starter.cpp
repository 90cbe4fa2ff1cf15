// Whole runs of the starter, as a user meets them: the update decision, the
// launch, and what happens when an update cannot be completed.
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {
const QByteArray synced = "Synchronizovano\n";
const QByteArray syncing = "Synchronizuji program, cekejte prosim ...\nSynchronizovano\n";
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

    void updateThatCannotComplete_data();
    void updateThatCannotComplete();
    void interruptedUpdateIsRepeated();
    void walkOrder();

private:
    void makeInstallation();
    Run start(const QStringList &extra = QStringList(), bool asUser = false,
              const QStringList &prefix = QStringList());

    QTemporaryDir *dir = nullptr;
    QString master, target, record;
};

void StarterTest::init()
{
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
}

Run StarterTest::start(const QStringList &extra, bool asUser, const QStringList &prefix)
{
    return runStarter(QStringList{"-m", master, "-t", target} + extra, dir->path(), record, asUser, prefix);
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

// A disconnected master drive or a missing installation: silent, nothing done.
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
    QCOMPARE(treeOf(target), before);
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

// --- an update that cannot be completed -------------------------------------

void StarterTest::updateThatCannotComplete_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<QString>("err");    // %T: target, %M: master
    QTest::addColumn<QString>("winErr"); // the same from the Windows starter
    QTest::addColumn<bool>("othersUpdated");

    QTest::newRow("unreadable master file") << "unreadable file"
        << "cannot update %T/lib/core.dll: Permission denied\n"
        << "cannot update %T/lib/core.dll: Access denied.\n" << true;
    QTest::newRow("disk full") << "full disk"
        << "cannot update %T/lib/core.dll: No space left on device\n"
        << "cannot update %T/lib/core.dll: Disk full.\n" << true;
    QTest::newRow("immutable target file") << "immutable"
        << "cannot update %T/lib/core.dll: Operation not permitted\n"
        << "cannot update %T/lib/core.dll: Access denied.\n" << true;
    QTest::newRow("read-only target directory") << "read-only"
        << "cannot update %T/lib/core.dll: Permission denied\n"
           "quorvane-starter: cannot create directory %T/lib/plugins: Permission denied\n"
           "quorvane-starter: cannot update %T/lib/plugins/p.dll: No such file or directory\n"
        << "cannot update %T/lib/core.dll: Access denied.\n"
           "quorvane-starter: cannot create directory %T/lib/plugins: Access denied.\n"
           "quorvane-starter: cannot update %T/lib/plugins/p.dll: Path not found.\n" << false;
    QTest::newRow("unreadable master directory") << "unreadable directory"
        << "cannot read directory %M/lib: Permission denied\n"
        << "cannot read directory %M/lib: Access denied.\n" << false;
}

// Whatever stops a file from being updated: the old file stays as it was, the
// failure is named on standard error, the rest is updated, the check file is
// left behind for the next start to try again, and the program still starts.
void StarterTest::updateThatCannotComplete()
{
    QFETCH(QString, obstacle);
    QFETCH(QString, err);
    QFETCH(QString, winErr);
    QFETCH(bool, othersUpdated);
    if (!isRoot())
        QSKIP("needs root: setpriv, chattr and mount arrange the obstacles");
    makeInstallation();

    struct Undo {
        QStringList command;
        ~Undo() { if (!command.isEmpty()) QProcess::execute(command.first(), command.mid(1)); }
    } undo;
    bool asUser = false;
    if (obstacle == "full disk") {
        QCOMPARE(QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", target}), 0);
        undo.command = QStringList{"umount", target};
        writeStandIn(target + "/quorvane.exe", 10);
        writeFile(target + "/lib/core.dll", "core 1");
        writeFile(target + "/quorvaneglobal.conf.xml", "<local/>");
        writeFile(master + "/lib/core.dll", QByteArray(2 * 1024 * 1024, 'c'));
    } else if (obstacle == "immutable") {
        setImmutable(target + "/lib/core.dll", true);
        undo.command = QStringList{"chattr", "-i", target + "/lib/core.dll"};
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

    const Run run = start({}, asUser);
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, syncing);
    err = (onWindows() ? winErr : err).replace("%T", target).replace("%M", master);
    QCOMPARE(QString::fromUtf8(run.err), "quorvane-starter: " + shown(err));
    QCOMPARE(readFile(target + "/lib/core.dll"), QByteArray("core 1"));
    QCOMPARE(readFile(target + "/lib/plugins/p.dll") == "plugin 2", othersUpdated);
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

QTEST_GUILESS_MAIN(StarterTest)
#include "tst_starter.moc"
