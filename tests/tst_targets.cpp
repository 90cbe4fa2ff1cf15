// Targets out of the ordinary and Windows' own ways: file systems that keep
// less, long paths, read-only files, Windows names, files held or in use.
#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

class TargetsTest : public StarterFixture
{
    Q_OBJECT

private slots:
    void updateWhileRunning();
    void readOnlyFiles();
    void longTargetPath();
    void windowsNames();
    void targetsThatKeepLess_data();
    void targetsThatKeepLess();
    void filesHeldByOthers_data();
    void filesHeldByOthers();
    void starterUpdatesItself();
};

// An update while the application runs: Windows cannot replace a running
// program, but can rename it; the running one keeps its file, the next start
// gets the new one, and the old file goes once it is free.
void TargetsTest::updateWhileRunning()
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
    // On Windows the old program was moved aside, and stays under that name
    // while it runs (the check file goes in by one rename: no second name).
    QCOMPARE(partialCopiesIn(target).size(), onWindows() ? 1 : 0);

    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record + ".done"), 15000); // the first one ended
    writeStandIn(master + "/quorvane.exe", 40);
    QCOMPARE(start().status, 0);
    QCOMPARE(partialCopiesIn(target), QStringList());
}

// Read-only master files arrive read-only, and are replaced by the next
// release; no hidden name is left, read-only as it may be.
void TargetsTest::readOnlyFiles()
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
    QCOMPARE(partialCopiesIn(target), QStringList()); // the old version's hidden name went too

    // An update that cannot finish leaves no read-only copy behind.
    QVERIFY(QFile::setPermissions(master + "/lib/ro.dll", readOnly | QFile::WriteOwner));
    writeFile(master + "/lib/ro.dll", "release 4, longer still");
    QVERIFY(QFile::setPermissions(master + "/lib/ro.dll", readOnly));
    writeFile(master + "/lib/in the way", "a file");
    makeDirs(target + "/lib/in the way");
    writeStandIn(master + "/quorvane.exe", 40);
    QVERIFY(!start().err.isEmpty());
    QCOMPARE(readFile(target + "/lib/ro.dll"), QByteArray("release 3, longer"));
    QCOMPARE(partialCopiesIn(target), QStringList());
}

// An installation whose paths pass 260 characters (Windows' old limit).
void TargetsTest::longTargetPath()
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
void TargetsTest::windowsNames()
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

void TargetsTest::targetsThatKeepLess_data()
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
void TargetsTest::targetsThatKeepLess()
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

void TargetsTest::filesHeldByOthers_data()
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
void TargetsTest::filesHeldByOthers()
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

// A starter kept inside the installation it updates replaces itself when
// the master holds a newer one, while it runs; the next start runs the new one.
void TargetsTest::starterUpdatesItself()
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

QTEST_GUILESS_MAIN(TargetsTest)
#include "tst_targets.moc"
