// The update's decisions in process: which file the plan copies, how the
// comparison judges a target file, how long a busy file is waited for, and
// how the lock judges what it finds.
#include "mirror/busyretry.h"
#include "mirror/comparison.h"
#include "mirror/disk.h"
#include "mirror/plan.h"
#include "mirror/staged.h"
#include "mirror/temporarynames.h"
#include "testsupport.h"
#include "updatelock.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

using Tree = QMap<QString, QByteArray>;

class RulesTest : public QObject
{
    Q_OBJECT

private slots:
    void comparison_data();
    void comparison();
    void planDecisions_data();
    void planDecisions();
    void busyRetryBudget_data();
    void busyRetryBudget();
    void lockJudgement_data();
    void lockJudgement();
};

namespace {

const qint64 second = 1000000000;

FileEntry file(qint64 size, qint64 mtimeNs, uint mode, quint64 device = 1)
{
    FileEntry entry;
    entry.isFile = true;
    entry.size = size;
    entry.mtimeNs = mtimeNs;
    entry.mode = mode;
    entry.device = device;
    return entry;
}

// Every file below dir written at one moment of the past.
void setTimes(const QString &dir)
{
    const timespec times[2] = { { 1600000000, 0 }, { 1600000000, 0 } };
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        QCOMPARE(utimensat(AT_FDCWD, QFile::encodeName(it.next()).constData(), times, 0), 0);
}

} // namespace

Q_DECLARE_METATYPE(FileEntry)

void RulesTest::comparison_data()
{
    QTest::addColumn<FileEntry>("master");
    QTest::addColumn<bool>("installed");      // the target has a file of that name
    QTest::addColumn<FileEntry>("target");
    QTest::addColumn<bool>("permissionless"); // the target's file system keeps no permissions
    QTest::addColumn<bool>("copy");

    const FileEntry m = file(10, 1000 * second + 123456789, 0644);
    QTest::newRow("the same") << m << true << m << false << false;
    QTest::newRow("not installed") << m << false << m << false << true;
    FileEntry dir = m;
    dir.isFile = false;
    dir.isDir = true;
    QTest::newRow("a directory of that name") << m << true << dir << false << true;
    QTest::newRow("another size") << m << true << file(11, m.mtimeNs, 0644) << false << true;
    QTest::newRow("another time") << m << true << file(10, m.mtimeNs + second, 0644) << false << true;
    QTest::newRow("time kept to 100 ns (NTFS)") << m << true << file(10, 1000 * second + 123456700, 0644) << false
                                               << false;
    QTest::newRow("time kept to 2 s (FAT)") << m << true << file(10, 1000 * second, 0644) << false << false;
    QTest::newRow("time rounded up, not down") << m << true << file(10, 1001 * second, 0644) << false << true;
    QTest::newRow("other permissions") << m << true << file(10, m.mtimeNs, 0755) << false << true;
    QTest::newRow("other permissions, none kept") << m << true << file(10, m.mtimeNs, 0755) << true << false;
    QTest::newRow("before 1970, kept to the second") << file(10, -second / 2, 0644) << true
                                                     << file(10, -second, 0644) << false << false;
}

void RulesTest::comparison()
{
    QFETCH(FileEntry, master);
    QFETCH(bool, installed);
    QFETCH(FileEntry, target);
    QFETCH(bool, permissionless);
    QFETCH(bool, copy);
    Comparison comparison;
    if (permissionless)
        comparison.ignorePermissionsOn(target.device);
    QCOMPARE(comparison.needsCopy(master, installed ? &target : nullptr, "t/a"), copy);
}

void RulesTest::planDecisions_data()
{
    QTest::addColumn<Tree>("master");
    QTest::addColumn<Tree>("target");    // "<dir>": a directory
    QTest::addColumn<QString>("staged"); // a copy already waiting for this file, the master's
    QTest::addColumn<QStringList>("decided"); // in the walk's order

    const Tree none;
    QTest::newRow("new and changed files") << Tree{ { "a", "new" }, { "b", "changed" } } << Tree{ { "b", "old" } }
        << "" << QStringList{ "copy %T/a", "replace %T/b" };
    QTest::newRow("unchanged") << Tree{ { "a", "same" } } << Tree{ { "a", "same" } } << "" << QStringList();
    QTest::newRow("the local configuration, in every directory")
        << Tree{ { "quorvaneglobal.conf.xml", "m" }, { "sub/quorvaneglobal.conf.xml", "m" } } << none << ""
        << QStringList();
    QTest::newRow("the check file, however spelled, goes last")
        << Tree{ { "bin/app.exe", "m" }, { "app.exe", "m" } } << none << "" << QStringList{ "copy %T/app.exe" };
    QTest::newRow("the starter's own files, at the top only")
        << Tree{ { "quorvane-starter.log", "m" }, { "sub/quorvane-starter.log", "m" } } << none << ""
        << QStringList{ "copy %T/sub/quorvane-starter.log" };
    QTest::newRow("hidden entries") << Tree{ { ".profile", "m" }, { ".cache/x", "m" } } << none << ""
        << QStringList();
    QTest::newRow("a directory in the way") << Tree{ { "a", "m" } } << Tree{ { "a", "<dir>" } } << ""
        << QStringList{ "cannot update %T/a: Is a directory" };
    QTest::newRow("depth first, files before subdirectories, by name ignoring case")
        << Tree{ { "B/x", "m" }, { "a/y", "m" }, { "c", "m" }, { "D", "m" } } << none << ""
        << QStringList{ "copy %T/c", "copy %T/D", "copy %T/a/y", "copy %T/B/x" };
    QTest::newRow("a copy already waiting") << Tree{ { "a", "new" } } << Tree{ { "a", "older" } } << "a"
        << QStringList();
}

void RulesTest::planDecisions()
{
    QFETCH(Tree, master);
    QFETCH(Tree, target);
    QFETCH(QString, staged);
    QFETCH(QStringList, decided);
    QTemporaryDir dir;
    const QString m = dir.path() + "/m", t = dir.path() + "/t";
    makeDirs(m);
    makeDirs(t);
    for (auto it = master.constBegin(); it != master.constEnd(); ++it)
        writeFile(m + "/" + it.key(), it.value());
    for (auto it = target.constBegin(); it != target.constEnd(); ++it)
        it.value() == "<dir>" ? makeDirs(t + "/" + it.key()) : writeFile(t + "/" + it.key(), it.value());
    setTimes(m);
    setTimes(t);

    MirrorOptions options = checkingFile("./bin//app.exe");
    options.ownFiles << "quorvane-starter.log";
    TemporaryNames names;
    Comparison comparison;
    StagedFiles waiting(names, SystemDisk::instance());
    if (!staged.isEmpty())
        waiting.add(t, staged, names.take(), true, SystemDisk::instance().fileEntry(m + "/" + staged));
    Plan plan(options, SystemDisk::instance(), names, comparison, waiting);
    QStringList seen;
    plan.run(m, t, [&](const DirectoryPlan &directory) {
        for (int i = 0, f = 0; i <= directory.copies.size(); ++i) {
            for (; f < directory.failures.size() && directory.failures[f].first <= i; ++f) {
                const Failure &failure = directory.failures[f].second;
                seen << QString("%1 %2: %3").arg(failure.what, failure.path, failure.reason.words());
            }
            if (i < directory.copies.size())
                seen << (directory.copies[i].replacing ? "replace " : "copy ") + directory.target + "/"
                            + directory.copies[i].master.name;
        }
    });
    waiting.clear(); // its temporary was never made
    QCOMPARE(seen, decided.replaceInStrings("%T", t));
}

void RulesTest::busyRetryBudget_data()
{
    QTest::addColumn<int>("perFileMs");
    QTest::addColumn<int>("runMs");
    QTest::addColumn<QList<int>>("busyTimes"); // per file, one after another: how often it is busy (-1: always)
    QTest::addColumn<QStringList>("errors");

    const QString busy = qt_error_string(EBUSY);
    QTest::newRow("busy for a moment") << 1000 << 5000 << QList<int>{ 3 } << QStringList{ "" };
    QTest::newRow("busy for longer than a file is waited for") << 300 << 5000 << QList<int>{ -1 }
        << QStringList{ busy + " (tried again for 0 s)" };
    QTest::newRow("the run's wait spent by earlier files") << 1400 << 1400 << QList<int>{ -1, -1, 0 }
        << QStringList{ busy + " (tried again for 1 s)",
                        busy + " (not tried again: the run has waited 1 s for files in use)", "" };
    QTest::newRow("another failure is not waited for") << 1000 << 5000 << QList<int>{ -2 }
        << QStringList{ qt_error_string(EIO) };
}

void RulesTest::busyRetryBudget()
{
    QFETCH(int, perFileMs);
    QFETCH(int, runMs);
    QFETCH(QList<int>, busyTimes);
    QFETCH(QStringList, errors);
    BusyRetry retry(perFileMs, runMs);
    QStringList got;
    for (const int times : busyTimes) {
        int calls = 0;
        got << retry.run([&] {
            if (times == -2)
                return FileError::fromCode(EIO);
            if (times < 0 || calls++ < times)
                return FileError(FileError::Busy, EBUSY);
            return FileError();
        }).words();
    }
    QCOMPARE(got, errors);
}

namespace {

// A lock as a row says it looks and who may open it, until its holder lets
// go (after a few looks, where the row says it is live).
class FakeLockFiles : public LockFiles
{
public:
    LockFileInfo file;
    LockResult opening = LockResult::Taken; // what take() meets while the file is as seen
    bool readOnly = false;
    LockResult directory = LockResult::Taken;
    bool runs = false;         // its holder, by its process
    bool removable = true;
    int looksUntilLetGo = -1;   // -1: never
    bool tookWhileHeld = false; // a flock probed a file whose holder may be about to lock it
    QByteArray written;

    // Each look at either lock brings its holder's letting go nearer.
    void look()
    {
        if (looksUntilLetGo >= 0 && looksUntilLetGo-- == 0) {
            file.contents = "released\n";
            runs = false;
            directory = opening = LockResult::Taken;
        }
    }
    LockFileInfo inspect(const QString &) override
    {
        look();
        return file;
    }
    LockResult takeDirectory(const QString &, qintptr *handle, FileError *error) override
    {
        look();
        if (directory == LockResult::Taken)
            *handle = 2;
        *error = FileError(FileError::Other, 95);
        return directory;
    }
    void releaseDirectory(qintptr) override {}
    bool directoryIsHeld(const QString &) override { return directory == LockResult::Held; }
    LockResult take(const QString &, const LockFileInfo &, qintptr *handle, bool *created, bool *readOnly,
                    FileError *error) override
    {
        tookWhileHeld = tookWhileHeld || (looksUntilLetGo >= 0 && opening != LockResult::Held);
        *created = file.kind == LockFileInfo::Missing;
        *readOnly = this->readOnly;
        *handle = 1;
        *error = FileError(FileError::Denied, 13);
        return opening;
    }
    LockResult takeOwn(const QString &, qintptr *handle, FileError *) override
    {
        *handle = 3;
        return LockResult::Taken;
    }
    bool isHeld(const QString &) override { return opening == LockResult::Held; }
    LockFileInfo read(qintptr) override { return file; }
    void write(qintptr, const QByteArray &contents) override { written = contents; }
    void touch(qintptr) override {}
    void release(qintptr, const QByteArray &) override {}
    FileError remove(const QString &, const LockFileInfo &) override
    {
        if (!removable)
            return FileError(FileError::Denied, 1);
        file = LockFileInfo();
        opening = LockResult::Taken;
        return FileError();
    }
    bool holderRuns(qint64, const QString &) override { return runs; }
};

} // namespace

Q_DECLARE_METATYPE(LockResult)

void RulesTest::lockJudgement_data()
{
    QTest::addColumn<int>("kind");          // LockFileInfo::Kind
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<int>("ageS");
    QTest::addColumn<bool>("readable");
    QTest::addColumn<LockResult>("opening");   // what locking the file meets
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<LockResult>("directory"); // what locking the directory meets
    QTest::addColumn<bool>("holderRuns");
    QTest::addColumn<bool>("removable");
    QTest::addColumn<int>("letGoAfter");       // looks until the holder lets go (-1: never)
    QTest::addColumn<bool>("held");            // the update goes ahead
    QTest::addColumn<QString>("said");         // a pattern the lines match, joined

    const int file = LockFileInfo::File, other = LockFileInfo::Other, missing = LockFileInfo::Missing;
    const LockResult taken = LockResult::Taken, held = LockResult::Held;
    const QByteArray local = "4242\nquorvane-starter\n\n";
    QTest::newRow("none yet") << missing << QByteArray() << 0 << true << taken << false << taken << false << true
                              << -1 << true << "^$";
    QTest::newRow("let go of") << file << QByteArray("released\n") << 3600 << true << taken << false << taken
                               << false << true << -1 << true << "^$";
    QTest::newRow("a starter's that is gone") << file << local << 0 << true << taken << false << taken << false
                                              << true << -1 << true << "^quorvane-starter: took over the lock";
    QTest::newRow("a starter's at work, by its process") << file << local << 0 << true << taken << false << taken
                                                         << true << true << 3 << true << "^$";
    QTest::newRow("a starter's at work, by its system lock") << file << QByteArray("released\n") << 0 << true
                                                             << held << false << taken << false << true << 3
                                                             << true << "^$";
    QTest::newRow("just made, its maker about to lock it") << file << QByteArray() << 0 << true << taken << false
                                                           << taken << false << true << 3 << true << "^$";
    QTest::newRow("nameless for an hour") << file << QByteArray() << 3600 << true << taken << false << taken << false
                                          << true << -1 << true << "^quorvane-starter: took over the lock";
    QTest::newRow("another user's that cannot be read") << file << QByteArray() << 3600 << false
        << LockResult::Unreadable << false << taken << false << false << -1 << false
        << "^quorvane-starter: cannot lock .*; the installed program starts unchanged$";
    QTest::newRow("another user's that may only be read") << file << QByteArray("released\n") << 3600 << true
                                                           << taken << true << taken << false << false << -1 << true
                                                           << "^$";
    QTest::newRow("a directory, removed") << other << QByteArray() << 3600 << true << LockResult::NotFile << false
                                          << taken << false << true << -1 << true
                                          << "^quorvane-starter: took over the lock";
    QTest::newRow("a directory that stays") << other << QByteArray() << 3600 << true << LockResult::NotFile << false
        << taken << false << false << -1 << true
        << "^quorvane-starter: cannot use the lock .*; the target directory's lock alone keeps other starters out$";
    QTest::newRow("a directory that stays, no directory's lock") << other << QByteArray() << 3600 << true
        << LockResult::NotFile << false << LockResult::Failed << false << false << -1 << false
        << "^quorvane-starter: cannot lock .*; the installed program starts unchanged$";
    QTest::newRow("the directory's lock held by another starter") << missing << QByteArray() << 0 << true << taken
                                                                  << false << held << false << true << 3 << true
                                                                  << "^$";
    QTest::newRow("none can be made, the directory's lock") << missing << QByteArray() << 0 << true
        << LockResult::Failed << false << taken << false << true << -1 << true
        << "^quorvane-starter: cannot use the lock .*; the target directory's lock alone";
    QTest::newRow("none can be made, no directory's lock") << missing << QByteArray() << 0 << true
        << LockResult::Failed << false << LockResult::Failed << false << true << -1 << false
        << "^quorvane-starter: cannot lock .*; the installed program starts unchanged$";
}

// Whatever the lock looks like, a starter never probes a lock whose holder
// is at work, never updates beside one, and gives up on what waiting
// cannot remove.
void RulesTest::lockJudgement()
{
    QFETCH(int, kind);
    QFETCH(QByteArray, contents);
    QFETCH(int, ageS);
    QFETCH(bool, readable);
    QFETCH(LockResult, opening);
    QFETCH(bool, readOnly);
    QFETCH(LockResult, directory);
    QFETCH(bool, holderRuns);
    QFETCH(bool, removable);
    QFETCH(int, letGoAfter);
    QFETCH(bool, held);
    QFETCH(QString, said);
    FakeLockFiles files;
    files.file.kind = LockFileInfo::Kind(kind);
    files.file.contents = contents;
    files.file.mtimeMs = QDateTime::currentMSecsSinceEpoch() - ageS * 1000;
    files.file.readable = readable;
    files.file.error = FileError(FileError::Denied, EACCES);
    files.opening = opening;
    files.readOnly = readOnly;
    files.directory = directory;
    files.runs = holderRuns;
    files.removable = removable;
    files.looksUntilLetGo = letGoAfter;
    QStringList lines;
    const Report report([&lines](const QString &line) { lines << line; });
    {
        UpdateLock lock("target", report, files);
        lock.acquire();
        QCOMPARE(lock.isHeld(), held);
    }
    QVERIFY2(!files.tookWhileHeld, "probed a lock its holder was at work under");
    QVERIFY2(QRegularExpression(said).match(lines.join('\n')).hasMatch(), qPrintable(lines.join('\n')));
    // Where it could, it named itself in the lock.
    QCOMPARE(files.written.isEmpty(), !held || readOnly || lines.join('\n').contains("directory's lock alone"));
}

QTEST_GUILESS_MAIN(RulesTest)
#include "tst_rules.moc"
