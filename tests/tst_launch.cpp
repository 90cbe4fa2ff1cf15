// Whole runs of the starter, as a user meets them: whether it updates, what
// it says, and the program it starts.
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include <csignal>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

class LaunchTest : public StarterFixture
{
    Q_OBJECT

private slots:
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
    void checkFileHoweverSpelled_data();
    void checkFileHoweverSpelled();
    void progressOnTerminal_data();
    void progressOnTerminal();
    void unusualStandardStreams_data();
    void unusualStandardStreams();
};

void LaunchTest::equalSizesCopyNothing_data()
{
    QTest::addColumn<bool>("sameDirectory");
    QTest::newRow("equal sizes, other contents") << false;
    QTest::newRow("master is the target") << true;
}

void LaunchTest::equalSizesCopyNothing()
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

void LaunchTest::differentSizesMirrorThenLaunch()
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

void LaunchTest::missingCheckFile_data()
{
    QTest::addColumn<bool>("inMaster");
    QTest::addColumn<bool>("inTarget");
    QTest::newRow("no master check file") << false << true;
    QTest::newRow("nothing installed") << true << false;
    QTest::newRow("neither") << false << false;
}

// A disconnected master drive or a missing installation: silent, nothing done
// but, for a master not found, one line in the log of a target there is.
void LaunchTest::missingCheckFile()
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

void LaunchTest::checkFileAsSubpath()
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
void LaunchTest::sizesDifferingAbove4GiB()
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

void LaunchTest::targetInsideMaster()
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

void LaunchTest::launchIsDetached()
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

void LaunchTest::failedLaunch()
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
void LaunchTest::programHeldForAMoment()
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

void LaunchTest::checkFileHoweverSpelled_data()
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
void LaunchTest::checkFileHoweverSpelled()
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

void LaunchTest::progressOnTerminal_data()
{
    QTest::addColumn<int>("columns"); // 0: as the terminal has it
    QTest::newRow("a terminal of its own width") << 0;
    QTest::newRow("a terminal narrower than the line") << 20;
}

// On a terminal an update shows how far it has come, on one line that is
// wiped before the closing message, and never wraps; elsewhere it adds
// nothing (see the other tests, whose standard error stays empty).
void LaunchTest::progressOnTerminal()
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

void LaunchTest::unusualStandardStreams_data()
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
void LaunchTest::unusualStandardStreams()
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
    QCOMPARE(readFile(target + "/.quorvane-starter.lock"), QByteArray("released\n")); // let go of, and nothing else
}

QTEST_GUILESS_MAIN(LaunchTest)
#include "tst_launch.moc"
