// The update's last steps on a small update, one call failing at a time, in
// process on real directories: the installation ends all old or all new (or
// as its lines say, file by file), the summary says which, and the next
// update finishes and leaves nothing hidden behind.
#include "faultydisk.h"
#include "mirror/commitrecord.h"
#include "mirror/mirrordirectory.h"
#include "mirror/recovery.h"
#include "mirror/report.h"
#include "testsupport.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

namespace {

using F = FaultyDisk;
// c.txt is new; b.txt and d.txt are two old files of one directory, whose
// second names must differ.
const QStringList files{ "app.exe", "a.txt", "sub/b.txt", "sub/d.txt", "sub/c.txt" };
const QStringList all = files;

} // namespace

class CommitTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void oneStepFails_data();
    void oneStepFails();
    void cutShort_data();
    void cutShort();

private:
    QTemporaryDir *dir = nullptr;
    QString master, target;
};

void CommitTest::init()
{
    dir = new QTemporaryDir;
    QVERIFY(dir->isValid());
    master = dir->path() + "/master";
    target = dir->path() + "/target";
    for (const QString &file : files)
        writeFile(master + "/" + file, "new " + file.toUtf8() + ", longer");
    for (const QString &file : files.mid(0, 4))
        writeFile(target + "/" + file, "old " + file.toUtf8());
    makeOld(master);
    makeOld(target);
}

void CommitTest::cleanup()
{
    delete dir;
}

void CommitTest::oneStepFails_data()
{
    QTest::addColumn<Faults>("faults");
    QTest::addColumn<QStringList>("newAfter");  // files new afterwards; the others as they were
    QTest::addColumn<QStringList>("missing");   // files gone afterwards
    QTest::addColumn<int>("ending");            // MirrorSummary::Ending
    QTest::addColumn<int>("stayedIn");
    QTest::addColumn<QString>("said");          // a pattern the lines match, all of them joined
    QTest::addColumn<bool>("hiddenLeft");       // hidden names left until the next update
    QTest::addColumn<int>("syncPath");          // how a batch of copies goes to disk

    const QString b = "/sub/b\\.txt$";
    // The new file cannot go in, nor once more after the old one is moved aside.
    const FaultyDisk::Fault bFails{ F::Replace, b, 1, 2, EIO, false };
    QTest::newRow("nothing fails") << Faults{} << all << QStringList() << int(MirrorSummary::Complete) << -1 << "^$" << false << int(F::AsTheMachineSays);
    QTest::newRow("a copy cannot be made") << Faults{ { F::Copy, "/sub/\\.~qv", 1, 1, EIO, false } }
        << QStringList() << QStringList() << int(MirrorSummary::Incomplete) << -1
        << "^quorvane-starter: cannot update .*/sub/(b|c|d)\\.txt: Input/output error$" << false << int(F::AsTheMachineSays);
    QTest::newRow("no second links: each old file moved aside")
        << Faults{ { F::KeepOld, ".", 1, 0, EPERM, false } } << all << QStringList()
        << int(MirrorSummary::Complete) << -1 << "^$" << false << int(F::AsTheMachineSays);
    QTest::newRow("no second link for one file") << Faults{ { F::KeepOld, "/a\\.txt$", 1, 1, EMLINK, false } }
        << all << QStringList() << int(MirrorSummary::Complete) << -1 << "^$" << false << int(F::AsTheMachineSays);
    QTest::newRow("a rename fails") << Faults{ bFails } << QStringList()
        << QStringList() << int(MirrorSummary::Incomplete) << 0
        << "^quorvane-starter: cannot update .*/sub/b\\.txt: Input/output error$" << false << int(F::AsTheMachineSays);
    QTest::newRow("a rename fails, no second links")
        << Faults{ { F::KeepOld, ".", 1, 0, EPERM, false }, { F::Replace, b, 1, 1, EIO, false } } << QStringList()
        << QStringList() << int(MirrorSummary::Incomplete) << 0 << "cannot update .*/sub/b\\.txt" << false << int(F::AsTheMachineSays);
    QTest::newRow("nothing can go in under a name, nor come back")
        << Faults{ { F::Replace, b, 1, 0, EIO, false } } << QStringList() << QStringList{ "sub/b.txt" }
        << int(MirrorSummary::Incomplete) << 0
        << "cannot put back .*/sub/b\\.txt: Input/output error; its old version is kept as .*/sub/\\.~qv[^/]*$" << true << int(F::AsTheMachineSays);
    QTest::newRow("an old file cannot be moved aside")
        << Faults{ { F::KeepOld, ".", 1, 0, EPERM, false }, { F::MoveAside, "/a\\.txt$", 1, 0, EACCES, false } }
        << QStringList() << QStringList() << int(MirrorSummary::Incomplete) << 0
        << "^quorvane-starter: cannot update .*/a\\.txt: Permission denied\nquorvane-starter: this user may not replace "
           "some files of .* a shared installation needs every user who starts it allowed to replace and remove its "
           "files; the next start tries again$" << false << int(F::AsTheMachineSays);
    QTest::newRow("a rename held for a moment")
        << Faults{ { F::Replace, b, 1, 2, EBUSY, true }, { F::MoveAside, b, 1, 0, EIO, false } } << all
        << QStringList() << int(MirrorSummary::Complete) << -1 << "^$" << false << int(F::AsTheMachineSays);
    QTest::newRow("an old version cannot be put back")
        << Faults{ bFails, { F::Replace, "/a\\.txt$", 2, 0, EIO, false },
                   { F::MoveAside, "/a\\.txt$", 1, 0, EIO, false } }
        << QStringList{ "a.txt" } << QStringList() << int(MirrorSummary::Incomplete) << 1
        << "cannot put back .*/a\\.txt: Input/output error; its old version is kept as .*/\\.~qv[^/]*$" << true << int(F::AsTheMachineSays);
    // As a program in use on Windows goes in, and a read-only new copy is put back.
    QTest::newRow("moved aside to go in, and its new file refuses the put-back")
        << Faults{ bFails, { F::Replace, "/a\\.txt$", 1, 1, EACCES, false }, { F::Replace, "/a\\.txt$", 3, 1, EACCES, false } }
        << QStringList() << QStringList() << int(MirrorSummary::Incomplete) << 0 << "cannot update .*/b\\.txt" << false << int(F::AsTheMachineSays);
    QTest::newRow("a put-back held for a moment")
        << Faults{ bFails, { F::Replace, "/a\\.txt$", 2, 1, EBUSY, true },
                   { F::MoveAside, "/a\\.txt$", 1, 0, EIO, false } }
        << QStringList() << QStringList() << int(MirrorSummary::Incomplete) << 0 << "cannot update .*/b\\.txt" << false << int(F::AsTheMachineSays);
    QTest::newRow("a new file cannot be taken back out")
        << Faults{ bFails, { F::Remove, "/sub/c\\.txt$", 1, 0, EACCES, false } }
        << QStringList{ "sub/c.txt" } << QStringList() << int(MirrorSummary::Incomplete) << 1
        << "cannot take back out .*/sub/c\\.txt: Permission denied; it stays in, new" << false << int(F::AsTheMachineSays);
    QTest::newRow("a directory sync fails") << Faults{ { F::SyncDirectory, "/sub$", 1, 1, EIO, false } }
        << QStringList() << QStringList() << int(MirrorSummary::Incomplete) << 0
        << "^quorvane-starter: cannot update .*/sub: Input/output error$" << false << int(F::AsTheMachineSays);
    QTest::newRow("the check file refuses a rename, moved aside")
        << Faults{ { F::Replace, "/app\\.exe$", 1, 1, EACCES, false } } << all << QStringList()
        << int(MirrorSummary::Complete) << -1 << "^$" << false << int(F::AsTheMachineSays);
    QTest::newRow("the check file cannot go in")
        << Faults{ { F::Replace, "/app\\.exe$", 1, 0, EIO, false }, { F::MoveAside, "/app\\.exe$", 1, 0, EIO, false } }
        << QStringList() << QStringList() << int(MirrorSummary::Incomplete) << 0
        << "^quorvane-starter: cannot update .*/app\\.exe: Input/output error$" << false << int(F::AsTheMachineSays);
    QTest::newRow("the check file moved aside cannot be put back")
        << Faults{ { F::Replace, "/app\\.exe$", 1, 0, EIO, false } } << QStringList() << QStringList{ "app.exe" }
        << int(MirrorSummary::Incomplete) << 0
        << "cannot put back .*/app\\.exe: Input/output error; its old version is kept as .*/\\.~qv" << true << int(F::AsTheMachineSays);
    // The target's syncs: the commit's record, the copies', the check file's.
    QTest::newRow("the check file's directory sync fails")
        << Faults{ { F::SyncDirectory, "/target$", 3, 1, EIO, false } } << all << QStringList()
        << int(MirrorSummary::CheckFileNotDurable) << -1 << "cannot update .*/target: Input/output error$" << true << int(F::AsTheMachineSays);
    // How a batch reaches the disk: in one sync of its file system, or copy
    // by copy; a write the disk lost shows either way.
    QTest::newRow("copies synced one by one, one fails") << Faults{ { F::FinishCopy, "/sub/\\.~qv", 1, 1, EIO, false } }
        << QStringList() << QStringList() << int(MirrorSummary::Incomplete) << -1
        << "^quorvane-starter: cannot update .*/sub/(b|c|d)\\.txt: Input/output error$" << false << int(F::FileByFile);
    QTest::newRow("copies synced one by one, the file system's sync unused")
        << Faults{ { F::SyncFileSystem, "", 1, 0, EIO, false } } << all << QStringList()
        << int(MirrorSummary::Complete) << -1 << "^$" << false << int(F::FileByFile);
    QTest::newRow("one sync for the batch, which fails: each copy synced by name")
        << Faults{ { F::SyncFileSystem, "", 1, 0, EIO, false }, { F::SyncFile, "/sub/\\.~qv", 1, 1, EIO, false } }
        << QStringList() << QStringList() << int(MirrorSummary::Incomplete) << -1
        << "^quorvane-starter: cannot update .*/sub/(b|c|d)\\.txt: Input/output error$" << false << int(F::OneSync);
    QTest::newRow("one sync for the batch, no copy synced alone")
        << Faults{ { F::FinishCopy, ".", 1, 0, EIO, false }, { F::SyncFile, ".", 1, 0, EIO, false } } << all
        << QStringList() << int(MirrorSummary::Complete) << -1 << "^$" << false << int(F::OneSync);
    QTest::newRow("second names cannot be removed")
        << Faults{ { F::Remove, "/\\.~qv[^/]*$", 1, 0, EACCES, false } } << all << QStringList()
        << int(MirrorSummary::Complete) << -1 << "^$" << true << int(F::AsTheMachineSays);
}

void CommitTest::oneStepFails()
{
    QFETCH(Faults, faults);
    QFETCH(QStringList, newAfter);
    QFETCH(QStringList, missing);
    QFETCH(int, ending);
    QFETCH(int, stayedIn);
    QFETCH(QString, said);
    QFETCH(bool, hiddenLeft);
    QFETCH(int, syncPath);

    FaultyDisk disk;
    disk.setSyncPath(F::SyncPath(syncPath));
    for (const FaultyDisk::Fault &fault : faults)
        disk.fail(fault);
    QStringList lines;
    const Report report([&lines](const QString &line) { lines << line; });
    MirrorOptions options = checkingFile("app.exe");
    options.disk = &disk;
    options.report = &report;
    MirrorSummary summary;
    mirrorDirectory(master, target, options, &summary);

    QVERIFY2(QRegularExpression(said).match(lines.join('\n')).hasMatch(), qPrintable(lines.join('\n')));
    QCOMPARE(int(summary.ending), ending);
    QCOMPARE(summary.stayedIn, stayedIn);
    QCOMPARE(!partialCopiesIn(target).isEmpty(), hiddenLeft);
    for (const QString &file : files) {
        const QByteArray old = file == "sub/c.txt" ? "<unreadable>" : "old " + file.toUtf8();
        const QByteArray expected = missing.contains(file) ? "<unreadable>"
                                    : newAfter.contains(file) ? "new " + file.toUtf8() + ", longer" : old;
        QCOMPARE(readFile(target + "/" + file), expected);
    }

    // The next update, nothing failing, finishes what is left and leaves
    // nothing hidden behind.
    options.disk = nullptr;
    options.report = nullptr;
    mirrorDirectory(master, target, options, &summary);
    QCOMPARE(int(summary.ending), int(MirrorSummary::Complete));
    for (const QString &file : files)
        QCOMPARE(readFile(target + "/" + file), "new " + file.toUtf8() + ", longer");
    QCOMPARE(partialCopiesIn(target), QStringList());
}

// The commit killed before one of its calls (every call from it on fails,
// as nothing more happens after a kill), or ended with something it could
// not settle; then a start settles it from the record: the installation is
// all new or all old, with its check file, and no hidden name is left.
void CommitTest::cutShort_data()
{
    QTest::addColumn<Faults>("faults");
    QTest::addColumn<int>("killedAt");     // FaultyDisk::Call (-1: not killed)
    QTest::addColumn<QString>("path");     // ... of a call to this path
    QTest::addColumn<int>("nth");          // ... the nth such call
    QTest::addColumn<int>("tornTo");       // the record cut to this many bytes, as a power cut before its sync leaves it (-1: whole)
    QTest::addColumn<int>("keptHidden");   // old versions the update said it kept under hidden names
    QTest::addColumn<bool>("endsNew");     // else all old
    QTest::addColumn<QString>("said");     // the start's line

    const QString back = "^took back out an update that was cut short: %1 files in .*/target$";
    const QString finished = "^finished an update that was cut short: 5 files in .*/target$";
    const Faults none;
    const Faults noLinks{ { F::KeepOld, ".", 1, 0, EPERM, false } };
    const FaultyDisk::Fault bFails{ F::Replace, "/sub/b\\.txt$", 1, 2, EIO, false };
    QTest::newRow("before the record") << none << int(F::WriteOwn) << "" << 1 << -1 << 0 << false << "^$";
    QTest::newRow("the record torn") << none << int(F::KeepOld) << "" << 1 << 60 << 0 << false
        << "^an update was cut short before anything went in: .*/target; its unfinished record removed$";
    QTest::newRow("before the second names") << none << int(F::KeepOld) << "" << 1 << -1 << 0 << false << back.arg(0);
    QTest::newRow("among the second names") << none << int(F::KeepOld) << "" << 2 << -1 << 0 << false << back.arg(0);
    QTest::newRow("before the copies go in") << none << int(F::Replace) << "" << 1 << -1 << 0 << false << back.arg(0);
    QTest::newRow("among the copies going in") << none << int(F::Replace) << "/sub/" << 2 << -1 << 0 << false
        << back.arg("[1-4]");
    QTest::newRow("a file moved aside, before its new one goes in") << noLinks << int(F::Replace) << "/a\\.txt$" << 1
        << -1 << 0 << false << back.arg("[1-4]");
    QTest::newRow("before the directories sync") << none << int(F::SyncDirectory) << "" << 2 << -1 << 0 << false
        << back.arg(4);
    QTest::newRow("before the check file goes in") << none << int(F::Replace) << "/app\\.exe$" << 1 << -1 << 0
        << false << back.arg(4);
    QTest::newRow("the check file moved aside, before its new one goes in")
        << Faults{ { F::Replace, "/app\\.exe$", 1, 1, EACCES, false } } << int(F::Replace) << "/app\\.exe$" << 2
        << -1 << 0 << false << back.arg(4);
    QTest::newRow("right after the check file went in") << none << int(F::SyncDirectory) << "/target$" << 3 << -1
        << 0 << true << finished;
    QTest::newRow("among the second names going") << none << int(F::Remove) << "/\\.~qv" << 2 << -1 << 0 << true
        << finished;
    QTest::newRow("before the record goes") << none << int(F::Remove) << "commit$" << 1 << -1 << 0 << true << finished;
    QTest::newRow("the check file's directory not synced") << Faults{ { F::SyncDirectory, "/target$", 3, 1, EIO, false } }
        << -1 << "" << 0 << -1 << 0 << true << finished;
    QTest::newRow("the check file moved aside cannot be put back") << Faults{ { F::Replace, "/app\\.exe$", 1, 0, EIO, false } }
        << -1 << "" << 0 << -1 << 1 << false << back.arg(0);
    QTest::newRow("an old version cannot be put back")
        << Faults{ bFails, { F::Replace, "/a\\.txt$", 2, 0, EIO, false }, { F::MoveAside, "/a\\.txt$", 1, 0, EIO, false } }
        << -1 << "" << 0 << -1 << 1 << false << back.arg(1);
    QTest::newRow("a new file cannot be taken back out") << Faults{ bFails, { F::Remove, "/sub/c\\.txt$", 1, 0, EACCES, false } }
        << -1 << "" << 0 << -1 << 0 << false << back.arg(1);
}

void CommitTest::cutShort()
{
    QFETCH(Faults, faults);
    QFETCH(int, killedAt);
    QFETCH(QString, path);
    QFETCH(int, nth);
    QFETCH(int, tornTo);
    QFETCH(int, keptHidden);
    QFETCH(bool, endsNew);
    QFETCH(QString, said);

    FaultyDisk disk;
    for (const FaultyDisk::Fault &fault : faults)
        disk.fail(fault);
    if (killedAt >= 0)
        disk.killAt(F::Call(killedAt), path, nth);
    const Report quiet([](const QString &) {});
    MirrorOptions options = checkingFile("app.exe");
    options.disk = &disk;
    options.report = &quiet;
    MirrorSummary summary;
    mirrorDirectory(master, target, options, &summary);
    if (killedAt < 0) // a killed run says nothing more
        QCOMPARE(summary.keptHidden, keptHidden);
    QFile record(target + "/" + CommitRecord::fileName);
    if (tornTo >= 0)
        QVERIFY(record.resize(tornTo));

    QStringList lines;
    const Report report([&lines](const QString &line) { lines << line; });
    const Recovery::Outcome outcome = Recovery(target, SystemDisk::instance(), report).run();
    for (const QString &file : files) {
        const QByteArray old = file == "sub/c.txt" ? "<unreadable>" : "old " + file.toUtf8();
        QCOMPARE(readFile(target + "/" + file), endsNew ? "new " + file.toUtf8() + ", longer" : old);
    }
    // A run killed before its record keeps its copies for the next update to remove.
    if (killedAt != int(F::WriteOwn) && tornTo < 0)
        QCOMPARE(partialCopiesIn(target), QStringList());
    QVERIFY(!record.exists());
    QVERIFY(outcome.settled);
    QVERIFY2(QRegularExpression(said).match(outcome.line).hasMatch(), qPrintable(outcome.line + "\n" + lines.join('\n')));
}

QTEST_GUILESS_MAIN(CommitTest)
#include "tst_commit.moc"
