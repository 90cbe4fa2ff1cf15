// Updates that cannot be completed or are cut short: the installation stays
// as it was, each failure is a line, and the next start tries again.
#include "testsupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class FailuresTest : public StarterFixture
{
    Q_OBJECT

private slots:
    void updateThatCannotComplete_data();
    void updateThatCannotComplete();
    void interruptedUpdateIsRepeated_data();
    void interruptedUpdateIsRepeated();
    void walkOrder();
    void manyFailuresOneLineEach();
    void masterEntriesThatCannotBeRead_data();
    void masterEntriesThatCannotBeRead();
    void directorySyncFails_data();
    void directorySyncFails();
    void checkFileThatIsNoFile();
};

void FailuresTest::updateThatCannotComplete_data()
{
    QTest::addColumn<QString>("tmpfs");       // the target on a tmpfs with these limits
    QTest::addColumn<int>("beside");          // files of 0.6 MB copied beside lib/core.dll (5 MB)
    QTest::addColumn<bool>("immutable");      // the target's lib/core.dll
    QTest::addColumn<QString>("denied");      // run as "nobody", this path's mode ...
    QTest::addColumn<int>("mode");            // ... set to this
    QTest::addColumn<QStringList>("prefix");  // the starter run under this
    QTest::addColumn<bool>("rootsFiles");     // the target's files stay root's, its directories nobody's
    QTest::addColumn<QString>("err");         // %T: target, %M: master
    QTest::addColumn<QString>("winErr");      // the same from the Windows starter

    QTest::newRow("unreadable master file") << "" << 0 << false << "%M/lib/core.dll" << 0200 << QStringList()
        << false
        << "cannot read %M/lib/core.dll: Permission denied\n"
        << "cannot read %M/lib/core.dll: Access denied. (tried again for 5 s)\n";
    // Room for what is there, and for no new file or directory.
    QTest::newRow("disk full") << "size=1m" << 0 << false << "" << 0 << QStringList() << false
        << "cannot update %T/lib/core.dll: No space left on device\n"
        << "cannot update %T/lib/core.dll: Disk full.\n";
    // Copied side by side, six files that fit race core.dll, which does not fit, for the space; the
    // removal of a copy that failed held up, so that they lose.
    QTest::newRow("disk full, copies racing for the last space") << "size=4m" << 6 << false << "" << 0
        << QStringList{"strace", "--seccomp-bpf", "-f", "-qq", "-o", "/dev/null", "-e", "trace=unlink",
                       "-e", "inject=unlink:delay_enter=300000"}
        << false << "cannot update %T/lib/core.dll: No space left on device\n" << "";
    QTest::newRow("immutable target file") << "" << 0 << true << "" << 0 << QStringList() << false
        << "cannot update %T/lib/core.dll: Operation not permitted\n"
           "quorvane-starter: this user may not replace some files of %T (another user's, or protected): a shared "
           "installation needs every user who starts it allowed to replace and remove its files; the next start tries "
           "again\n"
        << "cannot update %T/lib/core.dll: Access denied. (tried again for 5 s)\n"; // (Wine lets it be opened for deleting)
    // Linux's protected hard links give no second name to a file of
    // another user: each old file is moved aside instead, and put back.
    QTest::newRow("immutable among root's files, updated by nobody") << "" << 0 << true << "%T" << 0755
        << QStringList() << true << "cannot update %T/lib/core.dll: Operation not permitted\n"
           "quorvane-starter: this user may not replace some files of %T (another user's, or protected): a shared "
           "installation needs every user who starts it allowed to replace and remove its files; the next start tries "
           "again\n" << "";
    QTest::newRow("read-only target directory") << "" << 0 << false << "%T/lib" << 0505 << QStringList() << false
        << "cannot update %T/lib/core.dll: Permission denied\n"
           "quorvane-starter: cannot create directory %T/lib/plugins: Permission denied\n"
           "quorvane-starter: cannot update %T/lib/plugins/p.dll: No such file or directory\n"
        << "cannot update %T/lib/core.dll: Access denied.\n"
           "quorvane-starter: cannot create directory %T/lib/plugins: Access denied.\n"
           "quorvane-starter: cannot update %T/lib/plugins/p.dll: Path not found.\n";
    QTest::newRow("no inode left") << "nr_inodes=5" << 0 << false << "" << 0 << QStringList() << false
        << "cannot use the lock %T/.quorvane-starter.lock: No space left on device; the target directory's lock alone "
           "keeps other starters out\n"
           "quorvane-starter: cannot update %T/lib/core.dll: No space left on device\n"
           "quorvane-starter: cannot create directory %T/lib/plugins: No space left on device\n"
           "quorvane-starter: cannot update %T/lib/plugins/p.dll: No such file or directory\n"
        << "cannot use the lock %T/.quorvane-starter.lock: Disk full.; the target directory's lock alone keeps other "
           "starters out\n"
           "quorvane-starter: cannot update %T/lib/core.dll: Disk full.\n"
           "quorvane-starter: cannot create directory %T/lib/plugins: Disk full.\n"
           "quorvane-starter: cannot update %T/lib/plugins/p.dll: Path not found.\n";
    // Listed and entered, but its listing would come back empty.
    QTest::newRow("unreadable master directory") << "" << 0 << false << "%M/lib" << 0701 << QStringList() << false
        << "cannot read directory %M/lib: Permission denied\n"
        << "cannot read directory %M/lib: Access denied.\n";
    // Every sync of new data fails, as on a disk going bad (no Windows row:
    // there the copies are flushed as they are written).
    QTest::newRow("disk fails to write") << "" << 0 << false << "" << 0
        << QStringList{"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fdatasync,fsync,syncfs",
                       "-e", "inject=fdatasync,fsync,syncfs:error=EIO"} << false
        << "cannot update %T/lib/core.dll: Input/output error\n"
           "quorvane-starter: cannot update %T/lib/plugins/p.dll: Input/output error\n"
        << "";
}

// Whatever stops a file from being updated: the old file stays as it was, the
// failure is named on standard error, nothing else goes in either (a file
// that resists being replaced only at the very end has the others taken
// back out, and a directory it made goes too), the check file is left
// behind for the next start to try again, and the program still starts.
void FailuresTest::updateThatCannotComplete()
{
    QFETCH(QString, tmpfs);
    QFETCH(int, beside);
    QFETCH(bool, immutable);
    QFETCH(QString, denied);
    QFETCH(int, mode);
    QFETCH(QStringList, prefix);
    QFETCH(bool, rootsFiles);
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
    if (!tmpfs.isEmpty()) {
        QCOMPARE(QProcess::execute("mount", {"-t", "tmpfs", "-o", tmpfs, "tmpfs", target}), 0);
        undo.command = QStringList{"umount", "-l", target}; // lazily: the started program may still run from it
        writeStandIn(target + "/quorvane.exe", 10);
        writeFile(target + "/lib/core.dll", "core 1");
        writeFile(target + "/quorvaneglobal.conf.xml", "<local/>");
        makeOld(target);
        writeFile(master + "/lib/core.dll", QByteArray(5 * 1024 * 1024, 'c'));
        for (int i = 0; i < beside; ++i)
            writeFile(master + QString("/lib/d%1.dll").arg(i), QByteArray(600 * 1024, 'd'));
    }
    if (immutable) {
        writeFile(master + "/lib/a.dll", "a 2"); // replaced before core.dll resists, and put back
        writeFile(target + "/lib/a.dll", "a 1");
        makeOld(target);
    }
    if (!denied.isEmpty()) { // in a tree that "nobody" owns
        // Readable too: Wine loses a working directory it cannot read.
        QVERIFY(QFile::setPermissions(dir->path(), QFile::permissions(dir->path()) | QFile::ExeOther
                                                       | QFile::ReadOther));
        giveToNobody(target);
        giveToNobody(dir->path() + "/record");
        const QString path = denied.replace("%T", target).replace("%M", master);
        QCOMPARE(chmod(QFile::encodeName(path).constData(), mode_t(mode)), 0);
    }
    if (rootsFiles)
        QCOMPARE(QProcess::execute("find", {target, "-type", "f", "-exec", "chown", "0:0", "{}", "+"}), 0);
    if (immutable) {
        setImmutable(target + "/lib/core.dll", true);
        undo.command = QStringList{"chattr", "-i", target + "/lib/core.dll"};
    }

    const Run run = start({}, !denied.isEmpty(), prefix);
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, syncing);
    err = (onWindows() ? winErr : err).replace("%T", target).replace("%M", master);
    QCOMPARE(QString::fromUtf8(run.err), "quorvane-starter: " + shown(err));
    QCOMPARE(readFile(target + "/lib/core.dll"), QByteArray("core 1"));
    QVERIFY(!QFileInfo::exists(target + "/lib/plugins")); // made by the update, and gone with it
    if (immutable)
        QCOMPARE(readFile(target + "/lib/a.dll"), QByteArray("a 1"));
    QCOMPARE(partialCopiesIn(target), QStringList());
    QCOMPARE(readFile(target + "/quorvane.exe"), standIn(10));
    QCOMPARE(readFile(target + "/quorvaneglobal.conf.xml"), QByteArray("<local/>"));
    QVERIFY(waitForLaunch(record).happened);
}

void FailuresTest::interruptedUpdateIsRepeated_data()
{
    QTest::addColumn<QStringList>("prefix");  // what kills the first start
    QTest::addColumn<bool>("checkFileIn");    // the new check file had gone in
    // A file-size limit kills it half-way through a copy (SIGXFSZ).
    QTest::newRow("killed during a copy") << QStringList{"prlimit", "--fsize=1048576"} << false;
    // kill -9 as its check file's directory is synced (the target's second
    // sync on the main thread, where strace counts, after its commit's
    // record's): the old versions' second names are left.
    QTest::newRow("killed right after the check file went in")
        << QStringList{"strace", "-f", "-qq", "-o", "/dev/null", "-P", "%T", "-e", "trace=fsync",
                       "-e", "inject=fsync:signal=KILL:when=2"} << true;
}

// The starter is killed during an update; the next start finishes it: one
// that sees the installation still behind updates, one that finds nothing
// to update finishes the commit it finds cut short.
void FailuresTest::interruptedUpdateIsRepeated()
{
    QFETCH(QStringList, prefix);
    QFETCH(bool, checkFileIn);
    if (onWindows() && checkFileIn)
        QSKIP("strace: Linux only");
    makeInstallation();
    writeFile(master + "/lib/zbig.dat", QByteArray(2 * 1024 * 1024, 'b'));
    writeFile(master + "/zz/late.txt", "late");

    const Run cut = start({}, false, prefix.replaceInStrings("%T", target));
    QVERIFY(cut.status != 0);
    QCOMPARE(readFile(target + "/quorvane.exe"), standIn(checkFileIn ? 20 : 10));
    if (!checkFileIn) {
        QVERIFY(readFile(target + "/lib/core.dll") == "core 1" || readFile(target + "/lib/core.dll") == "core 2");
        QVERIFY(!QFileInfo::exists(target + "/lib/zbig.dat"));
        QVERIFY(!QFileInfo::exists(target + "/zz/late.txt"));
    }
    QVERIFY(!waitForLaunch(record, 300).happened);

    const Run second = start();
    QCOMPARE(second.status, 0);
    QCOMPARE(second.out, checkFileIn ? synced : syncing);
    const QString finished = "quorvane-starter: finished an update that was cut short: 5 files in " + shown(target) + "\n";
    QCOMPARE(QString::fromUtf8(second.err).endsWith(finished), checkFileIn); // after the lock's taking over
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
void FailuresTest::walkOrder()
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
void FailuresTest::manyFailuresOneLineEach()
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

void FailuresTest::masterEntriesThatCannotBeRead_data()
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
void FailuresTest::masterEntriesThatCannotBeRead()
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

void FailuresTest::directorySyncFails_data()
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
void FailuresTest::directorySyncFails()
{
    QFETCH(QString, directory);
    QFETCH(QString, closing);
    QFETCH(QByteArray, plugin);
    if (onWindows())
        QSKIP("strace: Linux only");
    makeInstallation();
    const QString path = directory.isEmpty() ? target : target + "/" + directory;
    // The target's first sync is its commit's record's.
    const Run run = start({}, false, {"strace", "-f", "-qq", "-o", "/dev/null", "-P", path, "-e", "trace=fsync", "-e",
                                      directory.isEmpty() ? "inject=fsync:error=EIO:when=2+" : "inject=fsync:error=EIO"});
    QCOMPARE(QString::fromUtf8(run.err), "quorvane-starter: cannot update " + path + ": Input/output error\n");
    QCOMPARE(run.status, 0);
    QCOMPARE(readFile(target + "/lib/plugins/p.dll"), plugin);
    QCOMPARE(readFile(target + "/quorvane.exe"), standIn(directory.isEmpty() ? 20 : 10));
    const QStringList log = QString::fromUtf8(readFile(target + "/quorvane-starter.log")).split('\n');
    QVERIFY2(QRegularExpression("^" + QRegularExpression::escape(closing).replace("\\%S", "[0-9.]+") + "$")
                 .match(log.value(log.size() - 2).mid(log.value(log.size() - 2).indexOf(' ') + 1)).hasMatch(),
             qPrintable(log.join('\n')));
}

// A check file in the master that is no file (a pipe) never stops the run.
void FailuresTest::checkFileThatIsNoFile()
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

QTEST_GUILESS_MAIN(FailuresTest)
#include "tst_failures.moc"
