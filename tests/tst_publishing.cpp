// A master being published while workstations start: an installation is
// marked current only when it is the master's.
#include "testsupport.h"

#include <QAtomicInt>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>
#include <QThread>

#include <thread>
#include <fcntl.h>
#include <sys/stat.h>

class PublishingTest : public StarterFixture
{
    Q_OBJECT

private slots:
    void masterChangingDuringUpdate();
    void releaseCopiedFileByFile_data();
    void releaseCopiedFileByFile();
    void checkFileWrittenInPlace_data();
    void checkFileWrittenInPlace();
};

namespace {

// Rewrites the master as an administrator copying a new release over it:
// the check file first, then every other file, with new contents and sizes;
// gapMs before each file after the check file, as a copy to a file share
// goes. keepTimes: each file keeps a time of its own from long ago, as
// robocopy and cp -p do.
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
                QThread::msleep(ulong(gapMs));
                writeFile(path, QByteArray(500 + round * 7 + i, char('a' + round % 26)));
                if (keepTimes) {
                    const timespec longAgo = { 1500000000 + round * 1000 + i, 0 };
                    const timespec times[2] = { longAgo, longAgo };
                    utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0);
                }
            }
        }
    }

private:
    QString master;
    int files, rounds, gapMs;
    bool keepTimes;
    int growingMB;
};

// Writes release over path in place, chunkKB every everyMs, its full size
// set first unless growing; timeBack: then gives the file back the time it
// had, as robocopy keeps a file's time.
void writeInPlace(const QString &path, const QByteArray &release, bool growing, int chunkKB, int everyMs,
                  bool timeBack)
{
    QFile file(path);
    struct stat before;
    QCOMPARE(stat(QFile::encodeName(path).constData(), &before), 0);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered));
    if (!growing)
        QVERIFY(file.resize(release.size()));
    for (int at = 0; at < release.size(); at += chunkKB * 1000) {
        file.write(release.mid(at, chunkKB * 1000));
        QThread::msleep(ulong(everyMs));
    }
    if (timeBack) {
        const timespec times[2] = { before.st_atim, before.st_mtim };
        QCOMPARE(futimens(file.handle(), times), 0);
    }
}

} // namespace

// A master rewritten while workstations update from it: whenever a start
// leaves the check files equal, so that the next start takes the
// installation for current, the installation is the master's.
void PublishingTest::masterChangingDuringUpdate()
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

void PublishingTest::releaseCopiedFileByFile_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<bool>("keepTimes");
    QTest::addColumn<int>("growingMB");
    QTest::addColumn<int>("serverBehindS"); // how far the master's clock is behind the workstation's
    QTest::newRow("no gaps") << 50 << 0 << false << 0 << 0;
    QTest::newRow("50 ms gaps") << 50 << 50 << false << 0 << 0;
    QTest::newRow("300 ms gaps") << 20 << 300 << false << 0 << 0;
    // A start's first look finds nothing new but the check file.
    QTest::newRow("a file 0.4 s after the check file") << 5 << 400 << false << 0 << 0;
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
void PublishingTest::releaseCopiedFileByFile()
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

void PublishingTest::checkFileWrittenInPlace_data()
{
    QTest::addColumn<bool>("growing");    // else its full size is set first, and filled
    QTest::addColumn<int>("chunkKB");     // written ...
    QTest::addColumn<int>("everyMs");     // ... this often
    QTest::addColumn<int>("syncDelayMs"); // each sync of the starter's takes this long (a busy disk)
    QTest::addColumn<QStringList>("share"); // the master read through bench/slowfs with these options, if any
    QTest::addColumn<bool>("timeBack");   // a release made days ago: the file given its old time back at the end
    QTest::addColumn<int>("aheadS");      // the workstation's clock ahead of the server's
    QTest::addColumn<QString>("ending");  // the log's closing line begins so (empty: either way)
    const QString gaveUp = "master still changing: 0 files", complete = "update complete: 3 files";
    const QStringList local;
    QTest::newRow("size set first") << false << 100 << 500 << 0 << local << false << 0 << "";
    QTest::newRow("growing") << true << 100 << 500 << 0 << local << false << 0 << "";
    QTest::newRow("size set first, on a busy disk") << false << 100 << 500 << 700 << local << false << 0 << "";
    // (A growing file reads back there at the size it is shown with: local only.)
    // A share that shows file details 10 s old.
    QTest::newRow("size set first, through a share") << false << 100 << 500 << 0 << QStringList{ "1", "10" }
                                                     << false << 0 << "";
    // Longer than the 30 s a release is waited for.
    QTest::newRow("for longer than the starter waits") << false << 40 << 500 << 0 << local << false << 0 << gaveUp;
    // Its times look old: seen changing all the same, and waited for.
    QTest::newRow("all the time, by a server whose clock is far behind") << false << 1 << 1 << 0 << local << false
                                                                        << 300 << complete;
    // A share that shows a change time no later than the modification time
    // (as Samba does): the master looks fresh while written, then old again.
    QTest::newRow("size set first, its old time put back, through a share")
        << false << 100 << 500 << 0 << QStringList{ "1", "1", "mtime" } << true << 0 << complete;
}

// The last step of publishing a release: the check file written in place,
// every 0.5 s, as robocopy does it, while a workstation starts. The
// installation gets the complete file, or keeps its old one; never a part.
void PublishingTest::checkFileWrittenInPlace()
{
    QFETCH(bool, growing);
    QFETCH(int, chunkKB);
    QFETCH(int, everyMs);
    QFETCH(int, syncDelayMs);
    QFETCH(QStringList, share);
    QFETCH(bool, timeBack);
    QFETCH(int, aheadS);
    QFETCH(QString, ending);
    if (syncDelayMs > 0 && onWindows())
        QSKIP("slows the starter's syncs down with strace: Linux only");
    shiftStarterClock(aheadS);
    makeInstallation();
    if (timeBack) // directories too: nothing in the master looks fresh but what is written now
        QCOMPARE(QProcess::execute("find", {master, "-exec", "touch", "-d", "2 days ago", "{}", "+"}), 0);
    QStringList args;
    QProcess server;
    struct Unmount {
        QString path;
        ~Unmount() { if (!path.isEmpty()) QProcess::execute("fusermount", {"-u", "-z", path}); }
    } unmount;
    if (!share.isEmpty()) {
        const QString mounted = dir->path() + "/share";
        makeDirs(mounted);
        server.start(TESTS_DIR "/../bench/slowfs", QStringList{ master, mounted } + share);
        unmount.path = mounted;
        // (Not the check file: the starter is the first to ask for its details.)
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(mounted + "/lib"), 10000);
        args << "-m" << mounted;
    }
    const QByteArray release = standIn(3000000 - standIn(0).size());
    QAtomicInt written;
    std::thread writer([&] {
        writeInPlace(master + "/quorvane.exe", release, growing, chunkKB, everyMs, timeBack);
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
    if (ending.isEmpty())
        return;
    const QByteArray log = readFile(target + "/quorvane-starter.log");
    QVERIFY2(log.contains(" " + ending.toUtf8()), log.constData());
    if (ending.startsWith("update complete")) {
        QCOMPARE(installed, release);
    } else {
        QVERIFY(leftFirst);
        QCOMPARE(readFile(target + "/lib/core.dll"), QByteArray("core 1"));
    }
}

QTEST_GUILESS_MAIN(PublishingTest)
#include "tst_publishing.moc"
