// The mirror on real trees: what it copies, what it leaves alone, and that
// the walk ends.
#include "mirror/mirrordirectory.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

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
    void lastFileWaitsForTheWholeTree_data();
    void lastFileWaitsForTheWholeTree();

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
    writeFile(target + "/app.exe", "old app, longer");
    writeFile(target + "/data/a.txt", "old a");
    writeFile(target + "/local.txt", "only here");
    writeFile(target + "/data/mine/notes", "only here too");
    writeFile(target + "/data/a.txt.quorvane-new", "a user's file, whatever its name");
    writeFile(target + "/data/.~qv4d2a0fe01.1c", "left by a run that was killed");

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
    };
    QCOMPARE(treeOf(target), expected);
}

void MirrorTest::entriesThatAreNotCopied_data()
{
    QTest::addColumn<QString>("entry");    // made in the master, relative
    QTest::addColumn<QString>("kind");     // file, dir, fifo, link, brokenlink
    QTest::addColumn<Tree>("expected");    // target afterwards, besides "keep"

    const QByteArray conf = "<local configuration/>";
    QTest::newRow("configuration in root") << "quorvaneglobal.conf.xml" << "file"
                                           << Tree{{"quorvaneglobal.conf.xml", conf}};
    QTest::newRow("configuration in subdirectory") << "sub/quorvaneglobal.conf.xml" << "file"
                                                   << Tree{{"sub", "<dir>"}};
    QTest::newRow("configuration, other case") << "QuorvaneGlobal.conf.xml" << "file"
                                              << Tree{{"QuorvaneGlobal.conf.xml", "master"},
                                                      {"quorvaneglobal.conf.xml", conf}};
    QTest::newRow("directory named like it") << "sub/quorvaneglobal.conf.xml/inner" << "file"
                                            << Tree{{"sub", "<dir>"},
                                                    {"sub/quorvaneglobal.conf.xml", "<dir>"},
                                                    {"sub/quorvaneglobal.conf.xml/inner", "master"}};
    QTest::newRow("hidden file") << ".profile" << "file" << Tree{};
    QTest::newRow("hidden directory") << ".cache/inner" << "file" << Tree{};
    QTest::newRow("file in hidden directory's sibling") << "visible/.hidden" << "file"
                                                       << Tree{{"visible", "<dir>"}};
    QTest::newRow("pipe") << "pipe" << "fifo" << Tree{};
    QTest::newRow("broken link") << "dangling" << "brokenlink" << Tree{};
    QTest::newRow("link to a file") << "linked.txt" << "link" << Tree{{"linked.txt", "outside"}};
    QTest::newRow("link to a directory elsewhere") << "linkeddir" << "dirlink"
                                                  << Tree{{"linkeddir", "<dir>"},
                                                          {"linkeddir/o.txt", "outside dir"}};
    QTest::newRow("empty directory") << "empty" << "dir" << Tree{{"empty", "<dir>"}};
}

void MirrorTest::entriesThatAreNotCopied()
{
    QFETCH(QString, entry);
    QFETCH(QString, kind);
    QFETCH(Tree, expected);

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

    QCOMPARE(mirrorDirectory(master, target), 0);

    expected.insert("keep", "keep");
    if (!expected.contains("quorvaneglobal.conf.xml"))
        expected.insert("quorvaneglobal.conf.xml", "<local configuration/>");
    QCOMPARE(treeOf(target), expected);
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

void MirrorTest::lastFileWaitsForTheWholeTree_data()
{
    QTest::addColumn<QString>("lastFile");
    QTest::addColumn<QString>("blocked"); // a directory the target has as a file
    QTest::newRow("in the root, failure below") << "app.exe" << "lib";
    QTest::newRow("in a subdirectory, failure in a later one") << "bin/app.exe" << "zz";
}

// The file that marks the installation as current goes in only after a
// complete update.
void MirrorTest::lastFileWaitsForTheWholeTree()
{
    QFETCH(QString, lastFile);
    QFETCH(QString, blocked);
    writeFile(master + "/" + lastFile, "new app");
    writeFile(master + "/bin/z.dll", "z");
    writeFile(master + "/" + blocked + "/inner.txt", "inner");
    writeFile(target + "/" + lastFile, "old");
    writeFile(target + "/" + blocked, "a file where the master has a directory");

    QCOMPARE(mirrorDirectory(master, target, lastFile), 2); // the directory and its file
    QCOMPARE(readFile(target + "/" + lastFile), QByteArray("old"));
    QCOMPARE(readFile(target + "/bin/z.dll"), QByteArray("z"));
    QCOMPARE(partialCopiesIn(target), QStringList());

    QVERIFY(QFile::remove(target + "/" + blocked));
    QCOMPARE(mirrorDirectory(master, target, lastFile), 0);
    QCOMPARE(readFile(target + "/" + lastFile), QByteArray("new app"));
    QCOMPARE(readFile(target + "/" + blocked + "/inner.txt"), QByteArray("inner"));
}

QTEST_GUILESS_MAIN(MirrorTest)
#include "tst_mirror.moc"
