// The update log in the installation: what each update leaves in it, and
// where it is never written.
#include "testsupport.h"
#include "updatelog.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

class UpdateLogTest : public StarterFixture
{
    Q_OBJECT

private slots:
    void updateLog_data();
    void updateLog();
    void lineCutShort();
};

void UpdateLogTest::updateLog_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QStringList>("lines"); // after each line's time; %B: the usual first line, %E: stderr's lines
    const QString begin = "update begins: master %M (check file %1 bytes), target %T (check file %2 bytes)";
    const QString first = begin.arg(standIn(20).size()).arg(standIn(10).size());
    const QString complete = "update complete: 3 files, 0.0 MB in %S s"; // %S: any number of seconds
    QTest::newRow("a clean update") << "clean" << QStringList{first, complete};
    QTest::newRow("a file that cannot be updated") << "blocked"
        << QStringList{first, "%E", "update incomplete: 0 files, 0.0 MB in %S s; 1 failures, the next start tries again"};
    // A new file went in, the next cannot, and the new one cannot be taken back out.
    QTest::newRow("a file that stays in") << "stays in"
        << QStringList{first, "%E", "update incomplete: %S files, %S MB in %S s; %S failures, the next start tries "
                                    "again; 1 files stayed in beside the old check file"};
    QTest::newRow("a lock taken over") << "lock" << QStringList{first, "%E", complete};
    // A name cannot forge a line: it shows its line break, in the log as on standard error.
    QTest::newRow("a name with a line break") << "line break"
        << QStringList{first, "quorvane-starter: cannot update %T/evil<0A>2026-01-01T00:00:00+01:00 update complete: "
                              "forged: Is a directory",
                       "update incomplete: 0 files, 0.0 MB in %S s; 1 failures, the next start tries again"};
    QTest::newRow("an update cut short, and the next") << "interrupted"
        << QStringList{first, first, "%E", "update complete: %S files, %S MB in %S s"};
    QTest::newRow("a log grown past a megabyte") << "long log" << QStringList{first, complete};
    QTest::newRow("a log of 5 GB, sparse") << "huge log" << QStringList{first, complete};
    // Within its bound all the same, and saying once what it did instead.
    const QString cannot = QString("cannot rename the log to %T%1quorvane-starter.log.1: %2; ")
                               .arg(onWindows() ? "\\" : "/", onWindows() ? "Access denied." : "Is a directory");
    QTest::newRow("a log grown past a megabyte, its previous name taken by a directory") << "long log, spare"
        << QStringList{cannot + "renamed it to quorvane-starter.log.2 instead", first, complete};
    QTest::newRow("a log grown past a megabyte, no name for it free") << "long log, cut"
        << QStringList{cannot + "cut it instead", first, complete};
    // Rotated by another starter while this one waits for the lock: the rest goes to the new log.
    QTest::newRow("a log rotated meanwhile") << "rotated"
        << QStringList{"waited %S s for another starter's update", complete};
    QTest::newRow("a master with a log of its own") << "master log" << QStringList{first, complete};
    QTest::newRow("a target the user cannot write") << "unwritable" << QStringList{};
    // Never written through, nothing made where it leads, never waited for.
    QTest::newRow("a link to a file elsewhere") << "link" << QStringList{};
    QTest::newRow("a link to nothing") << "dangling link" << QStringList{};
    QTest::newRow("a pipe") << "pipe" << QStringList{};
}

// Every update, and nothing else, leaves its lines in the installation's
// log: when it began, every line it wrote on standard error, and how it
// ended.
void UpdateLogTest::updateLog()
{
    QFETCH(QString, situation);
    QFETCH(QStringList, lines);
    makeInstallation();
    const QString log = target + "/quorvane-starter.log";
    QByteArray oldLog;
    bool asUser = false;
    int holder = -1; // the lock, held by the test
    QStringList prefix;
    struct Undo {
        QString path;
        ~Undo() { if (!path.isEmpty()) setImmutable(path, false); }
    } undo;
    if (situation == "blocked") {
        writeFile(master + "/blocked.dll", "new");
        makeDirs(target + "/blocked.dll");
    } else if (situation == "stays in") {
        if (onWindows() || !isRoot())
            QSKIP("needs root and strace: an immutable file, and a removal that fails");
        writeFile(master + "/lib/a.dll", "new");
        setImmutable(target + "/lib/core.dll", true);
        undo.path = target + "/lib/core.dll";
        prefix = QStringList{"strace", "-f", "-qq", "-o", "/dev/null", "-P", target + "/lib/a.dll",
                             "-e", "inject=unlink:error=EIO"};
    } else if (situation == "line break") {
        if (onWindows())
            QSKIP("no such name on Windows");
        const QString name = "/evil\n2026-01-01T00:00:00+01:00 update complete: forged";
        writeFile(master + name, "new");
        makeDirs(target + name);
    } else if (situation == "lock") {
        writeFile(target + "/.quorvane-starter.lock", "");
        QCOMPARE(QProcess::execute("touch", {"-d", "1 hour ago", target + "/.quorvane-starter.lock"}), 0);
    } else if (situation == "interrupted") {
        writeFile(master + "/lib/zbig.dat", QByteArray(2 * 1024 * 1024, 'b'));
        writeFile(master + "/zz/late.txt", "late");
        QVERIFY(start({}, false, {"prlimit", "--fsize=1048576"}).status != 0);
    } else if (situation.contains("long log") || situation == "huge log") {
        if (situation.endsWith("cut") && onWindows())
            QSKIP("a log opened for appending alone is never cut on Windows");
        for (int i = 0; oldLog.size() < (situation == "huge log" ? 8000 : 2 * 1024 * 1024); ++i)
            oldLog += QByteArray::number(i) + " an earlier line of the log, long enough to fill it soon\n";
        if (situation.contains(", "))
            makeDirs(log + ".1/in the way");
        else
            writeFile(log + ".1", "the log before\n"); // gives way to the one rotated now
        if (situation.endsWith("cut"))
            makeDirs(log + ".2/in the way");
        QFile file(log);
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (situation == "huge log") // nothing but its last lines on the disk
            QVERIFY(file.resize(Q_INT64_C(5) << 30) && file.seek(file.size()));
        QCOMPARE(file.write(oldLog), qint64(oldLog.size()));
    } else if (situation == "rotated") { // another starter holds the lock, as it left it before
        if (onWindows())
            QSKIP("holds the lock as a Linux starter does");
        const QString lock = target + "/.quorvane-starter.lock";
        writeFile(lock, "released\n");
        QVERIFY((holder = open(QFile::encodeName(lock).constData(), O_RDWR | O_CLOEXEC)) >= 0);
        QCOMPARE(flock(holder, LOCK_EX), 0);
    } else if (situation == "master log") {
        writeFile(master + "/quorvane-starter.log", "the master's own log\n");
        writeFile(master + "/quorvane-starter.log.1", "the master's own log before\n");
    } else if (situation.contains("link") || situation == "pipe") {
        if (onWindows())
            QSKIP("Wine shows a Unix link as what it leads to: no Windows link to try");
        if (situation == "link")
            writeFile(dir->path() + "/elsewhere", "precious");
        if (situation == "pipe")
            QCOMPARE(mkfifo(QFile::encodeName(log).constData(), 0644), 0);
        else
            QVERIFY(QFile::link(dir->path() + "/elsewhere", log));
    } else if (situation == "unwritable") {
        if (!isRoot())
            QSKIP("needs root: runs the starter as another user");
        asUser = true;
        QVERIFY(QFile::setPermissions(dir->path(), QFile::permissions(dir->path()) | QFile::ExeOther
                                                       | QFile::ReadOther));
        giveToNobody(dir->path() + "/record");
    }

    QProcess starter;
    QTemporaryDir output;
    startStarter(starter, {"-m", master, "-t", target}, dir->path(), record, output.path(), asUser, prefix);
    if (holder >= 0) { // its first line written, it waits a second for the lock; the log is rotated meanwhile
        QTRY_VERIFY_WITH_TIMEOUT(readFile(log).contains(" update begins: "), 10000);
        QThread::msleep(1000);
        QVERIFY(QFile::rename(log, log + ".1"));
        close(holder);
    }
    const Run run = finishStarter(starter, output.path());
    QVERIFY2(run.status == 0, run.err.constData());
    QVERIFY(waitForLaunch(record).happened);
    if (lines.isEmpty()) { // no log, and nothing said of it
        QVERIFY(situation == "pipe" || !QFileInfo::exists(log) || readFile(log) == "precious");
        QCOMPARE(QFileInfo::exists(dir->path() + "/elsewhere"), situation == "link");
        // (The test's own directory is named after the suite, "log" and all.)
        QVERIFY2(!QString::fromUtf8(run.err).remove(shown(dir->path())).contains("log"), run.err.constData());
        return;
    }
    QByteArray text = readFile(log);
    if (onWindows()) {
        QVERIFY2(!text.contains("\n") || text.contains("\r\n"), "lines end in CR LF on Windows");
        text.replace("\r\n", "\n");
    }
    if (situation.contains("log") && oldLog.size() > 0 && !situation.endsWith("cut")) { // renamed whole
        QFile previous(log + (situation.endsWith("spare") ? ".2" : ".1"));
        QVERIFY(previous.open(QIODevice::ReadOnly));
        QCOMPARE(previous.size(), oldLog.size() + (situation == "huge log" ? Q_INT64_C(5) << 30 : 0));
        QVERIFY(previous.seek(previous.size() - oldLog.size()));
        QVERIFY(previous.readAll() == oldLog);
    }
    if (holder >= 0)
        QCOMPARE(readFile(log + ".1").count('\n'), 1);
    QStringList logged = QString::fromUtf8(text).split('\n');
    QCOMPARE(logged.takeLast(), QString());
    const QStringList errLines = QString::fromUtf8(run.err).split('\n', Qt::SkipEmptyParts);
    QStringList expected;
    for (const QString &line : lines) {
        if (line == "%E")
            expected += errLines;
        else
            expected << QString(line).replace("%M", shown(master)).replace("%T", shown(target));
    }
    QVERIFY2(logged.size() == expected.size(), qPrintable(logged.join("\n")));
    for (int i = 0; i < logged.size(); ++i) {
        QVERIFY2(logStamp.match(logged[i]).hasMatch(), qPrintable(logged[i]));
        const QString event = logged[i].mid(logStamp.match(logged[i]).capturedLength());
        const QString pattern = QRegularExpression::escape(expected[i]).replace("\\%S", "[0-9.]+");
        QVERIFY2(QRegularExpression("^" + pattern + "$").match(event).hasMatch(),
                 qPrintable(event + " <> " + expected[i]));
    }
    QFile::remove(record);
    const Run current = start(); // a start that finds nothing to do writes nothing
    const bool failsAgain = situation == "blocked" || situation == "line break" || situation == "stays in";
    QCOMPARE(current.out, failsAgain ? syncing : synced);
    if (!failsAgain)
        QCOMPARE(readFile(log).replace("\r\n", "\n"), text);
}

// A write cut short (here by the file size limit, as by a full disk) leaves
// part of a line: the next line, whoever writes it, begins on a line of its
// own.
void UpdateLogTest::lineCutShort()
{
    const QString path = dir->path() + "/quorvane-starter.log";
    UpdateLog log(path);
    log.write("a whole line");
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit before = limit;
    limit.rlim_cur = rlim_t(QFileInfo(path).size() + 40);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
    log.write("a line that the disk has no room for: " + QString(200, 'x'));
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &before), 0);
    log.write("the next line");
    UpdateLog(path).write("another starter's line");
    const QStringList lines = QString::fromUtf8(readFile(path)).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 4);
    QVERIFY(!lines[1].contains("the next line"));
    for (const QString &line : {lines[0], lines[2], lines[3]})
        QVERIFY2(logStamp.match(line).hasMatch(), qPrintable(line));
}

QTEST_GUILESS_MAIN(UpdateLogTest)
#include "tst_updatelog.moc"
