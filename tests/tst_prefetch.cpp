// A release fetched ahead: what a prefetch leaves, which prefetched copies an
// update takes instead of reading the master, and a prefetch that steps aside.
#include "faultydisk.h"
#include "mirror/prefetchindex.h"
#include "mirror/recovery.h"
#include "prefetch.h"
#include "testsupport.h"
#include "updatelock.h"

#include <QFileInfo>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

// The system's locks, but a starter seen holding the update lock from the
// nth look on.
class ClickAfterLooks : public SystemLockFiles
{
public:
    explicit ClickAfterLooks(int nth) : nth(nth) {}
    bool directoryIsHeld(const QString &directory) override
    {
        return ++looks >= nth || SystemLockFiles::directoryIsHeld(directory);
    }

private:
    const int nth;
    int looks = 0;
};

// Rewrites a master file: another size, another time, other permissions,
// or other bytes behind the same size and time (only its change time tells).
void change(const QString &path, const QString &how)
{
    struct stat before;
    QCOMPARE(stat(QFile::encodeName(path).constData(), &before), 0);
    if (how == "size")
        writeFile(path, readFile(path) + "+");
    if (how == "mtime") {
        const timespec times[2] = { before.st_atim, { before.st_mtim.tv_sec - 3 * 86400, 0 } };
        QCOMPARE(utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    }
    if (how == "mode")
        QCOMPARE(chmod(QFile::encodeName(path).constData(), 0600), 0);
    if (how == "ctime") {
        QByteArray other = readFile(path);
        other[0] = char(other[0] ^ 1);
        writeFile(path, other);
        const timespec times[2] = { before.st_atim, before.st_mtim };
        QCOMPARE(utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    }
}

} // namespace

class PrefetchTest : public StarterFixture
{
    Q_OBJECT

private slots:
    void prefetchedCopyUsed_data();
    void prefetchedCopyUsed();
    void stepsAside_data();
    void stepsAside();
    void prefetchAlone_data();
    void prefetchAlone();
    void clickAfterPrefetch_data();
    void clickAfterPrefetch();

private:
    Prefetch::Result prefetch(LockFiles &files = SystemLockFiles::instance());
    QString prefetched(const QString &relative) const
    {
        return PrefetchIndex::filesOf(target) + "/" + relative;
    }
};

Prefetch::Result PrefetchTest::prefetch(LockFiles &files)
{
    Prefetch::Settings settings;
    settings.master = master;
    settings.target = target;
    settings.checkFile = "quorvane.exe";
    return Prefetch(settings, SystemDisk::instance(), files).run();
}

void PrefetchTest::prefetchedCopyUsed_data()
{
    QTest::addColumn<QString>("masterChange"); // after the prefetch
    QTest::addColumn<bool>("mayRename");       // the prefetched file, for this update
    QTest::addColumn<bool>("taken");           // from the prefetch, the master's copy never read

    QTest::newRow("unchanged: taken") << "" << true << true;
    QTest::newRow("size changed") << "size" << true << false;
    QTest::newRow("time changed") << "mtime" << true << false;
    QTest::newRow("permissions changed") << "mode" << true << false;
    QTest::newRow("bytes changed, only the change time tells") << "ctime" << true << false;
    QTest::newRow("may not be renamed (another user's)") << "" << false << false;
    // One user may not plant what another user's update installs.
    QTest::newRow("another user's copy, though it could be renamed") << "owner" << true << false;
}

// In process: the update's own stage meets the prefetched copies.
void PrefetchTest::prefetchedCopyUsed()
{
    QFETCH(QString, masterChange);
    QFETCH(bool, mayRename);
    QFETCH(bool, taken);
    makeInstallation();
    writeFile(master + "/lib/big.dat", QByteArray(300000, 'b'));
    QCOMPARE(prefetch().ending, Prefetch::Done);
    QVERIFY(QFileInfo(prefetched("lib/big.dat")).isFile());
    if (masterChange == "owner") {
        if (!isRoot())
            QSKIP("needs root: gives the prefetched copy to another user");
        giveToNobody(prefetched("lib/big.dat"));
    } else {
        change(master + "/lib/big.dat", masterChange);
    }
    FaultyDisk disk;
    if (taken) // the master's file is never read
        disk.fail(FaultyDisk::Fault{ FaultyDisk::Read, "master/lib/big\\.dat$", 1, 0, EIO, false });
    if (!mayRename)
        disk.fail(FaultyDisk::Fault{ FaultyDisk::MoveAside, "prefetch/files/lib/big\\.dat$", 1, 0, EPERM, false });
    MirrorOptions options = checkingFile("quorvane.exe");
    options.disk = &disk;
    MirrorSummary summary;
    QCOMPARE(mirrorDirectory(master, target, options, &summary), 0);
    QCOMPARE(summary.ending, MirrorSummary::Complete);
    verifyMirrored();
    QCOMPARE(QFileInfo(prefetched("lib/big.dat")).exists(), !taken);
}

void PrefetchTest::stepsAside_data()
{
    QTest::addColumn<int>("clickAtLook"); // 0: a real update lock held from the start
    QTest::addColumn<int>("fetchedAtMost");

    QTest::newRow("update lock held when it starts") << 0 << 0;
    QTest::newRow("a starter wants the target before the first file") << 2 << 0;
    QTest::newRow("a starter wants the target after a file") << 3 << 2;
}

void PrefetchTest::stepsAside()
{
    QFETCH(int, clickAtLook);
    QFETCH(int, fetchedAtMost);
    makeInstallation();
    for (int i = 0; i < 5; ++i)
        writeFile(master + QString("/data/f%1").arg(i), QByteArray(1000 + i, 'f'));
    const Report quiet;
    UpdateLock lock(target, quiet);
    if (clickAtLook == 0)
        lock.acquire();
    ClickAfterLooks files(clickAtLook == 0 ? 1000 : clickAtLook);
    const Prefetch::Result result = prefetch(files);
    QCOMPARE(result.ending, Prefetch::SteppedAside);
    QVERIFY2(result.files <= fetchedAtMost, qPrintable(QString::number(result.files)));
    // What it finished is in the index, each file whole.
    const PrefetchIndex index = PrefetchIndex::read(target, SystemDisk::instance());
    QCOMPARE(index.entries.size(), result.files);
    for (const QString &path : index.entries.keys())
        QCOMPARE(readFile(prefetched(path)), readFile(master + "/" + path));
}

void PrefetchTest::prefetchAlone_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<bool>("fetches");
    QTest::addColumn<QString>("logged"); // a pattern ("": no log at all)

    QTest::newRow("a release to fetch") << "release" << true << "prefetched: 2 files, 0\\.0 MB in";
    QTest::newRow("same check files") << "same" << false << "";
    QTest::newRow("an unfinished commit") << "commit" << false << "prefetch left everything alone: an update cut short";
    QTest::newRow("a target it may not write") << "readonly" << false << "";
}

// A prefetch on its own: nothing installed changes, nothing starts, nothing
// is printed, one line in the log.
void PrefetchTest::prefetchAlone()
{
    QFETCH(QString, situation);
    QFETCH(bool, fetches);
    QFETCH(QString, logged);
    makeInstallation();
    if (situation == "same")
        writeStandIn(target + "/quorvane.exe", 20);
    if (situation == "commit")
        writeFile(target + "/.quorvane-starter.commit", "quorvane-starter commit record 1\n");
    if (situation == "readonly") {
        if (!isRoot())
            QSKIP("needs root, to run the prefetch as another user");
        // the master readable, the target not writable
        QVERIFY(QFile::setPermissions(dir->path(), QFile::permissions(dir->path()) | QFile::ExeOther
                                                       | QFile::ReadOther));
    }
    const auto before = treeOf(target);
    const Run run = start({ "--prefetch" }, situation == "readonly");
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(run.err, QByteArray());
    QVERIFY(!waitForLaunch(record, 300).happened);
    auto after = treeOf(target);
    const QByteArray log = after.take("quorvane-starter.log");
    for (const QString &path : after.keys()) {
        if (path.startsWith(".quorvane-prefetch"))
            after.remove(path);
    }
    QCOMPARE(after, before);
    QCOMPARE(QFileInfo(prefetched("lib/core.dll")).isFile(), fetches);
    if (logged.isEmpty())
        QCOMPARE(log, QByteArray());
    else
        QVERIFY2(QString::fromUtf8(log).contains(QRegularExpression(logged)), log.constData());
}

void PrefetchTest::clickAfterPrefetch_data()
{
    QTest::addColumn<bool>("changedAfter"); // a file rewritten on the master after the prefetch

    QTest::newRow("the release as prefetched") << false;
    QTest::newRow("a file changed on the master since") << true;
}

void PrefetchTest::clickAfterPrefetch()
{
    QFETCH(bool, changedAfter);
    makeInstallation();
    QCOMPARE(start({ "--prefetch" }).status, 0);
    QVERIFY(QFileInfo(prefetched("lib/core.dll")).isFile());
    if (changedAfter)
        writeFile(master + "/lib/core.dll", "core 2, rebuilt");
    const Run run = start();
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, syncing);
    verifyMirrored();
    QVERIFY(waitForLaunch(record).happened);
    QVERIFY(!QFileInfo::exists(PrefetchIndex::directoryOf(target)));
}

QTEST_GUILESS_MAIN(PrefetchTest)
#include "tst_prefetch.moc"
