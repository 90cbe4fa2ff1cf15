// The mirror on real trees: what it copies, what it leaves alone, and that
// the walk ends.
#include "mirror/disk.h"
#include "mirror/listingprefetcher.h"
#include "mirror/mirrordirectory.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

#include <fcntl.h>
#include <sys/stat.h>

using Tree = QMap<QString, QByteArray>;

class MirrorTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void mirrorsOverExistingTree();
    void entriesThatAreNotCopied_data();
    void entriesThatAreNotCopied();
    void emptyAndMissingSource();
    void relativeDestination();
    void keepsPermissions();
    void linksThatLeadBack_data();
    void linksThatLeadBack();
    void destinationInsideSource();
    void listingsAheadOfTheWalk();
    void lastFileWaitsForTheWholeTree_data();
    void lastFileWaitsForTheWholeTree();
    void onlyWhatChangedIsCopied_data();
    void onlyWhatChangedIsCopied();

private:
    QTemporaryDir *dir = nullptr;
    QString master, target;
};

void MirrorTest::init()
{
    dir = new QTemporaryDir;
    QVERIFY(dir->isValid());
    master = dir->path() + "/master";
    target = dir->path() + "/target";
    makeDirs(master);
    makeDirs(target);
}

void MirrorTest::cleanup()
{
    delete dir;
}

void MirrorTest::mirrorsOverExistingTree()
{
    writeFile(master + "/app.exe", "new app");
    writeFile(master + "/data/a.txt", "new a");
    writeFile(master + "/data/deep/er/b.txt", "b");
    writeFile(master + "/Lib/c.dll", "c");
    const QString longName = QString(250, 'n'); // the temporary's name must not grow past 255
    writeFile(master + "/" + longName, "new long");
    writeFile(target + "/" + longName, "old long");
    writeFile(target + "/app.exe", "old app, longer");
    writeFile(target + "/data/a.txt", "old a");
    writeFile(target + "/local.txt", "only here");
    writeFile(target + "/data/mine/notes", "only here too");
    writeFile(target + "/data/a.txt.quorvane-new", "a user's file, whatever its name");
    writeFile(target + "/data/.~qv4d2a0fe01.1c", "left by a run that was killed");
    makeOld(target);

    QCOMPARE(mirrorDirectory(master, target), 0);

    const Tree expected{
        {"app.exe", "new app"},
        {"data", "<dir>"},
        {"data/a.txt", "new a"},
        {"data/a.txt.quorvane-new", "a user's file, whatever its name"},
        {"data/deep", "<dir>"},
        {"data/deep/er", "<dir>"},
        {"data/deep/er/b.txt", "b"},
        {"data/mine", "<dir>"},
        {"data/mine/notes", "only here too"},
        {"Lib", "<dir>"},
        {"Lib/c.dll", "c"},
        {"local.txt", "only here"},
        {longName, "new long"},
    };
    QCOMPARE(treeOf(target), expected);
}

void MirrorTest::entriesThatAreNotCopied_data()
{
    QTest::addColumn<QString>("entry");    // made in the master, relative
    QTest::addColumn<QString>("kind");     // file, dir, fifo, link, brokenlink
    QTest::addColumn<Tree>("expected");    // target afterwards, besides "keep"
    QTest::addColumn<QString>("checkFile"); // the update's check file, if any

    const QByteArray conf = "<local configuration/>";
    QTest::newRow("configuration in root") << "quorvaneglobal.conf.xml" << "file"
                                           << Tree{{"quorvaneglobal.conf.xml", conf}} << "";
    QTest::newRow("configuration in subdirectory") << "sub/quorvaneglobal.conf.xml" << "file"
                                                   << Tree{{"sub", "<dir>"}} << "";
    // The rest of the tree is brought over; the check file alone stays behind.
    QTest::newRow("configuration as the check file") << "quorvaneglobal.conf.xml" << "file"
        << Tree{{"quorvaneglobal.conf.xml", conf}, {"other.txt", "master"}} << "./quorvaneglobal.conf.xml";
    QTest::newRow("configuration in a subdirectory as the check file") << "sub/quorvaneglobal.conf.xml" << "file"
        << Tree{{"sub", "<dir>"}, {"other.txt", "master"}} << "sub/quorvaneglobal.conf.xml";
    QTest::newRow("configuration, other case") << "QuorvaneGlobal.conf.xml" << "file"
                                              << Tree{{"QuorvaneGlobal.conf.xml", "master"},
                                                      {"quorvaneglobal.conf.xml", conf}} << "";
    QTest::newRow("directory named like it") << "sub/quorvaneglobal.conf.xml/inner" << "file"
                                            << Tree{{"sub", "<dir>"},
                                                    {"sub/quorvaneglobal.conf.xml", "<dir>"},
                                                    {"sub/quorvaneglobal.conf.xml/inner", "master"}} << "";
    QTest::newRow("hidden file") << ".profile" << "file" << Tree{} << "";
    QTest::newRow("hidden directory") << ".cache/inner" << "file" << Tree{} << "";
    QTest::newRow("file in hidden directory's sibling") << "visible/.hidden" << "file"
                                                       << Tree{{"visible", "<dir>"}} << "";
    QTest::newRow("pipe") << "pipe" << "fifo" << Tree{} << "";
    QTest::newRow("broken link") << "dangling" << "brokenlink" << Tree{} << "";
    QTest::newRow("link to a file") << "linked.txt" << "link" << Tree{{"linked.txt", "outside"}} << "";
    QTest::newRow("link to a directory elsewhere") << "linkeddir" << "dirlink"
                                                  << Tree{{"linkeddir", "<dir>"},
                                                          {"linkeddir/o.txt", "outside dir"}} << "";
    QTest::newRow("empty directory") << "empty" << "dir" << Tree{{"empty", "<dir>"}} << "";
}

void MirrorTest::entriesThatAreNotCopied()
{
    QFETCH(QString, entry);
    QFETCH(QString, kind);
    QFETCH(Tree, expected);
    QFETCH(QString, checkFile);

    writeFile(target + "/quorvaneglobal.conf.xml", "<local configuration/>");
    writeFile(target + "/keep", "keep");
    writeFile(dir->path() + "/outside.txt", "outside");
    writeFile(dir->path() + "/outsidedir/o.txt", "outside dir");
    const QString path = master + "/" + entry;
    makeDirs(QFileInfo(path).path());
    if (kind == "file")
        writeFile(path, "master");
    else if (kind == "dir")
        makeDirs(path);
    else if (kind == "fifo")
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0644), 0);
    else if (kind == "link")
        QVERIFY(QFile::link(dir->path() + "/outside.txt", path));
    else if (kind == "dirlink")
        QVERIFY(QFile::link(dir->path() + "/outsidedir", path));
    else if (kind == "brokenlink")
        QVERIFY(QFile::link(dir->path() + "/nowhere", path));
    if (!checkFile.isEmpty())
        writeFile(master + "/other.txt", "master");

    MirrorSummary summary;
    const int failures = mirrorDirectory(master, target, checkingFile(checkFile), &summary);

    expected.insert("keep", "keep");
    if (!expected.contains("quorvaneglobal.conf.xml"))
        expected.insert("quorvaneglobal.conf.xml", "<local configuration/>");
    QCOMPARE(treeOf(target), expected);
    // A check file that is never copied is a line, and no update said complete.
    QCOMPARE(failures, checkFile.isEmpty() ? 0 : 1);
    QCOMPARE(summary.ending, checkFile.isEmpty() ? MirrorSummary::Complete : MirrorSummary::CheckFileNeverCopied);
}

void MirrorTest::emptyAndMissingSource()
{
    const QString newTarget = dir->path() + "/new";
    QCOMPARE(mirrorDirectory(master, newTarget), 0);
    QVERIFY(QFileInfo(newTarget).isDir());
    QCOMPARE(treeOf(newTarget), Tree{});

    const QString untouched = dir->path() + "/untouched";
    QCOMPARE(mirrorDirectory(dir->path() + "/no-such-master", untouched), 0);
    QVERIFY(!QFileInfo::exists(untouched));
}

void MirrorTest::relativeDestination()
{
    writeFile(master + "/a/b/file", "f");
    makeDirs(dir->path() + "/work/rel");
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir->path() + "/work"));
    const int failures = mirrorDirectory(master, "rel/target");
    QDir::setCurrent(previous);
    QCOMPARE(failures, 0);
    QCOMPARE(readFile(dir->path() + "/work/rel/target/a/b/file"), QByteArray("f"));
}

void MirrorTest::keepsPermissions()
{
    writeFile(master + "/tool", "#!/bin/sh\n");
    QVERIFY(QFile::setPermissions(master + "/tool", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                      | QFile::ReadGroup | QFile::ExeGroup));
    writeFile(target + "/tool", "old");
    QCOMPARE(mirrorDirectory(master, target), 0);
    QCOMPARE(QFile::permissions(target + "/tool"), QFile::permissions(master + "/tool"));
}

void MirrorTest::linksThatLeadBack_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("pointsTo");
    QTest::newRow("sub/up -> ..") << "sub/up" << "..";
    QTest::newRow("self -> .") << "self" << ".";
    QTest::newRow("deep -> root") << "sub/deeper/root" << "../..";
}

// A plain tree gives the same result as before; the link is simply not followed again.
void MirrorTest::linksThatLeadBack()
{
    QFETCH(QString, link);
    QFETCH(QString, pointsTo);
    writeFile(master + "/top.txt", "top");
    writeFile(master + "/sub/deeper/s.txt", "s");
    QVERIFY(QFile::link(pointsTo, master + "/" + link));

    QCOMPARE(mirrorDirectory(master, target), 0);
    const Tree result = treeOf(target);
    QCOMPARE(result.value("top.txt"), QByteArray("top"));
    QCOMPARE(result.value("sub/deeper/s.txt"), QByteArray("s"));
    // One pass through the link at most: nothing nests below it again.
    for (const QString &path : result.keys())
        QVERIFY2(path.count(link.section('/', -1)) <= 1, qPrintable(path));
}

void MirrorTest::destinationInsideSource()
{
    writeFile(master + "/app.exe", "app");
    writeFile(master + "/lib/l.dll", "l");
    const QString inside = master + "/lib/installed";
    QCOMPARE(mirrorDirectory(master, inside), 0);
    QCOMPARE(readFile(inside + "/app.exe"), QByteArray("app"));
    QCOMPARE(readFile(inside + "/lib/l.dll"), QByteArray("l"));
    QVERIFY(!QFileInfo::exists(inside + "/lib/installed"));
}

// Listings come ahead of the walk in its order, in a wide tree and a deep one;
// a directory the walk passes over, or asks for out of turn, changes nothing.
void MirrorTest::listingsAheadOfTheWalk()
{
    for (int f = 0; f < 30; ++f) {
        const QString folder = master + QString("/%1%2").arg(QChar(f % 2 ? 'F' : 'f')).arg(f, 2, 10, QChar('0'));
        for (int s = 0; s < 3; ++s)
            writeFile(folder + QString("/s%1/x.txt").arg(s), "x");
    }
    QString deep = master + "/deep";
    for (int level = 0; level < 60; ++level)
        deep += "/d";
    writeFile(deep + "/y.txt", "y");
    makeDirs(master + "/F05/skipped/below");

    ListingPrefetcher listings(master, SystemDisk::instance());
    int taken = 0;
    std::function<void(const QString &)> visit = [&](const QString &path) {
        const Listing listing = listings.take(path);
        Listing expected = SystemDisk::instance().listDirectory(path);
        ListingPrefetcher::sortForWalk(&expected.entries);
        QStringList names, expectedNames;
        for (const FileEntry &entry : listing.entries)
            names << entry.name;
        for (const FileEntry &entry : expected.entries)
            expectedNames << entry.name;
        QCOMPARE(names, expectedNames);
        ++taken;
        for (const FileEntry &entry : listing.entries) {
            if (ListingPrefetcher::isWalked(entry) && entry.name != "skipped")
                visit(path + "/" + entry.name);
        }
    };
    visit(master);
    QCOMPARE(taken, 1 + 30 * 4 + 61);
    QCOMPARE(listings.take(master + "/F05/skipped").entries.size(), 1);
    QCOMPARE(listings.take(master + "/f00").entries.size(), 3);
}

namespace {

// Another program puts a file into one directory the moment the update makes it.
class Neighbour : public SystemDisk
{
public:
    explicit Neighbour(const QString &fills) : fills(fills) {}
    FileError makeDirectory(const QString &path) override
    {
        const FileError error = SystemDisk::makeDirectory(path);
        if (!error.failed() && path == fills)
            writeFile(path + "/theirs.txt", "theirs");
        return error;
    }

private:
    const QString fills;
};

} // namespace

void MirrorTest::lastFileWaitsForTheWholeTree_data()
{
    QTest::addColumn<QString>("lastFile");
    QTest::addColumn<QString>("blocked"); // a directory the target has as a file
    QTest::addColumn<QString>("filled");  // a directory the update makes, filled by another program meanwhile
    QTest::addColumn<Tree>("after");      // the target afterwards
    const QByteArray file = "a file where the master has a directory";
    QTest::newRow("in the root, failure below") << "app.exe" << "lib" << ""
        << Tree{ { "app.exe", "old" }, { "lib", file } };
    QTest::newRow("in a subdirectory, failure in a later one") << "bin/app.exe" << "zz" << ""
        << Tree{ { "bin", "<dir>" }, { "bin/app.exe", "old" }, { "zz", file } };
    QTest::newRow("a new directory filled meanwhile stays") << "app.exe" << "lib" << "new"
        << Tree{ { "app.exe", "old" }, { "lib", file }, { "new", "<dir>" }, { "new/theirs.txt", "theirs" } };
}

// An update that cannot finish changes nothing: not the file that marks the
// installation as current, nor any other, nor does it leave a directory of
// its own behind, unless another program has put something in it.
void MirrorTest::lastFileWaitsForTheWholeTree()
{
    QFETCH(QString, lastFile);
    QFETCH(QString, blocked);
    QFETCH(QString, filled);
    QFETCH(Tree, after);
    writeFile(master + "/" + lastFile, "new app");
    writeFile(master + "/bin/z.dll", "z");
    writeFile(master + "/new/deeper/n.dll", "n");
    writeFile(master + "/" + blocked + "/inner.txt", "inner");
    writeFile(target + "/" + lastFile, "old");
    writeFile(target + "/" + blocked, "a file where the master has a directory");

    Neighbour neighbour(target + "/" + filled);
    MirrorOptions options = checkingFile(lastFile);
    options.disk = &neighbour;
    QCOMPARE(mirrorDirectory(master, target, options), 2); // the directory and its file
    QCOMPARE(treeOf(target), after);

    QVERIFY(QFile::remove(target + "/" + blocked));
    QCOMPARE(mirrorDirectory(master, target, checkingFile(lastFile)), 0);
    QCOMPARE(readFile(target + "/" + lastFile), QByteArray("new app"));
    QCOMPARE(readFile(target + "/" + blocked + "/inner.txt"), QByteArray("inner"));
}

void MirrorTest::onlyWhatChangedIsCopied_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("copied");
    QTest::newRow("nothing changed") << "none" << false;
    QTest::newRow("same size, new time in the master") << "master time" << true;
    QTest::newRow("new size in the master") << "master size" << true;
    QTest::newRow("permissions changed in the master") << "master mode" << true;
    QTest::newRow("edited on the workstation, same size") << "target edit" << true;
    QTest::newRow("target time kept at a coarser precision") << "coarse time" << false;
    QTest::newRow("master time before 1970, with a fraction") << "ancient time" << true;
}

// A second update copies only what differs in size, time or permissions; what
// it copies carries the master's time, so that the next one can skip it.
void MirrorTest::onlyWhatChangedIsCopied()
{
    QFETCH(QString, change);
    QFETCH(bool, copied);
    const QString from = master + "/lib/a.dll", to = target + "/lib/a.dll";
    writeFile(from, "release 1");
    writeFile(master + "/other.dll", "other");
    QCOMPARE(mirrorDirectory(master, target), 0);

    struct stat info;
    const auto stamp = [&](const QString &path) {
        stat(QFile::encodeName(path).constData(), &info);
        return qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    };
    const auto setStamp = [](const QString &path, qint64 ns) {
        const qint64 seconds = ns / 1000000000 - (ns % 1000000000 < 0 ? 1 : 0);
        const timespec times[2] = { {0, UTIME_OMIT}, {time_t(seconds), long(ns - seconds * 1000000000)} };
        QCOMPARE(utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    };
    QCOMPARE(stamp(to), stamp(from));
    setStamp(from, stamp(from) / 1000000000 * 1000000000 + 123456789); // a time with every digit
    setStamp(to, stamp(from));
    const qint64 otherInode = (stat(QFile::encodeName(target + "/other.dll").constData(), &info), info.st_ino);

    if (change == "master time") {
        writeFile(from, "release 2");
        setStamp(from, stamp(from) + 1000000000);
    } else if (change == "master size") {
        writeFile(from, "release 2, longer");
    } else if (change == "master mode") {
        QVERIFY(QFile::setPermissions(from, QFile::permissions(from) | QFile::ExeOwner));
    } else if (change == "target edit") {
        const qint64 before = stamp(to);
        writeFile(to, "edited  1");
        setStamp(to, before + 5000000000);
    } else if (change == "ancient time") {
        setStamp(from, -Q_INT64_C(86400000000000) + 250000000); // 1969-12-31 00:00:00.25
    } else if (change == "coarse time") {
        setStamp(to, stamp(from) / 1000000 * 1000000); // kept in milliseconds only
    }
    const qint64 inode = (stat(QFile::encodeName(to).constData(), &info), info.st_ino);

    QCOMPARE(mirrorDirectory(master, target), 0);
    stat(QFile::encodeName(to).constData(), &info);
    QCOMPARE(info.st_ino != ino_t(inode), copied); // a copy is a new file
    QCOMPARE(readFile(to), readFile(from));
    QCOMPARE(QFile::permissions(to), QFile::permissions(from));
    if (copied)
        QCOMPARE(stamp(to), stamp(from));
    stat(QFile::encodeName(target + "/other.dll").constData(), &info);
    QCOMPARE(qint64(info.st_ino), otherInode); // untouched
}

QTEST_GUILESS_MAIN(MirrorTest)
#include "tst_mirror.moc"
