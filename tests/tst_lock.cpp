// Several starters at one installation: the lock, starters clicked at once,
// and locks that starters gone left behind.
#include "testsupport.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <memory>
#include <thread>
#include <vector>

class LockTest : public StarterFixture
{
    Q_OBJECT

private slots:
    void startersAtOnce_data();
    void startersAtOnce();
    void clickedWhileCheckFileIsAside();
    void leftoverLocks_data();
    void leftoverLocks();
    void liveUpdateIsWaitedFor();
    void staleLockMetAtOnce_data();
    void staleLockMetAtOnce();
    void usersAtOnce_data();
    void usersAtOnce();
    void olderStarterBeside_data();
    void olderStarterBeside();
};

void LockTest::startersAtOnce_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("fullLog"); // one of them rotates the log
    QTest::addColumn<bool>("heldUp");  // each held up for 6 s if it renames the log (Linux)
    QTest::newRow("2") << 2 << false << false;
    QTest::newRow("3") << 3 << false << false;
    QTest::newRow("8") << 8 << false << false;
    QTest::newRow("2, the log at its limit") << 2 << true << false;
    QTest::newRow("8, the log at its limit") << 8 << true << false;
    QTest::newRow("2, the log at its limit, the one rotating it held up") << 2 << true << true;
}

// Clicked several times during a long update: one starter updates, the others
// wait for it; all of them start the new program, and nothing is said.
void LockTest::startersAtOnce()
{
    QFETCH(int, count);
    QFETCH(bool, fullLog);
    QFETCH(bool, heldUp);
    if (heldUp && onWindows())
        QSKIP("holds a starter up with strace: Linux only");
    QByteArray oldLog; // numbered, to tell that none of them was lost
    for (int i = 0; fullLog && oldLog.size() < UpdateLogLimit; ++i)
        oldLog += QByteArray::number(i) + " an earlier line\n";
    for (int round = 0; round < 2; ++round) {
        QDir(target).removeRecursively();
        makeInstallation();
        if (fullLog)
            writeFile(target + "/quorvane-starter.log", oldLog);
        for (int i = 0; i < 300; ++i)
            writeFile(QString("%1/data/d%2/f%3").arg(master).arg(i % 10).arg(i), QByteArray(2000 + i, 'd'));

        // The lock is held, as by a starter at work, until every starter has said
        // that it updates: on a busy machine one came after the update even so.
        const QString lock = target + "/.quorvane-starter.lock";
        writeFile(lock, "released\n");
        const int holder = open(QFile::encodeName(lock).constData(), O_RDWR | O_CLOEXEC);
        QVERIFY(holder >= 0 && flock(holder, LOCK_EX) == 0);
        std::vector<std::unique_ptr<QProcess>> starters;
        std::vector<std::unique_ptr<QTemporaryDir>> outputs;
        // Held at the start line until all are there, each saying so: on a
        // busy machine the last one might otherwise come after the update.
        const QString go = dir->path() + QString("/go%1").arg(round);
        QStringList atTheLine{"sh", "-c", ": > \"$0.$$\"; while [ ! -e \"$0\" ]; do sleep 0.01; done; exec \"$@\"",
                              go};
        // The one that rotates the log stops while it renames it (and, as a
        // starter that cut the log in place did, while it writes it back).
        if (heldUp)
            atTheLine << "strace" << "-f" << "-qq" << "-o" << "/dev/null" << "-P" << target + "/quorvane-starter.log"
                      << "-e" << "inject=rename,pwrite64:delay_enter=6000000:when=1";
        for (int i = 0; i < count; ++i) {
            starters.emplace_back(new QProcess);
            outputs.emplace_back(new QTemporaryDir);
            startStarter(*starters[i], {"-m", master, "-t", target}, dir->path(), record + QString::number(i),
                         outputs[i]->path(), false, atTheLine);
        }
        QElapsedTimer arriving;
        arriving.start();
        while (QDir(dir->path()).entryList({ QString("go%1.*").arg(round) }).size() < count && arriving.elapsed() < 30000)
            QThread::msleep(10);
        writeFile(go, "");
        const qint64 goMs = QDateTime::currentMSecsSinceEpoch();
        // (One held up while it renames the log had said it before it got there.)
        const auto said = [&] { return int(std::count_if(outputs.begin(), outputs.end(), [](const auto &output) {
            return !readFile(output->path() + "/out").isEmpty(); })); };
        while (said() < count - int(heldUp) && arriving.elapsed() < 60000)
            QThread::msleep(10);
        close(holder);
        qint64 firstDoneMs = -1; // when the first starter said its last line
        for (int i = 0; i < count; ++i) {
            const Run run = finishStarter(*starters[i], outputs[i]->path());
            const qint64 doneMs = QFileInfo(outputs[i]->path() + "/out").lastModified().toMSecsSinceEpoch() - goMs;
            firstDoneMs = firstDoneMs < 0 ? doneMs : std::min(firstDoneMs, doneMs);
            QCOMPARE(run.err, QByteArray()); // first: it tells most
            QCOMPARE(run.out, syncing);
            QCOMPARE(run.status, 0);
            const Launch launch = waitForLaunch(record + QString::number(i));
            QVERIFY(launch.happened);
            QCOMPARE(launch.size, qint64(standIn(20).size())); // the new program
        }
        verifyMirrored();
        // A starter held up while it bounds the log costs the others no time.
        if (heldUp)
            QVERIFY2(firstDoneMs < 5000, qPrintable(QString::number(firstDoneMs)));

        // Every starter's lines are whole in the log (the earlier lines may
        // have gone to the previous one with the last of them): one updated,
        // the others waited.
        const QString previous = target + "/quorvane-starter.log.1";
        const QString log = QString::fromUtf8((fullLog ? readFile(previous) : QByteArray())
                                              + readFile(target + "/quorvane-starter.log")).replace("\r\n", "\n");
        const QRegularExpression event("^(update begins: master .* bytes\\)|update complete: .*"
                                       "|waited \\d+ s for another starter's update"
                                       "|update done meanwhile by another starter)$");
        if (fullLog) { // rotated: the earlier lines whole in the previous log, the log below the limit
            QVERIFY(QFileInfo(target + "/quorvane-starter.log").size() < UpdateLogLimit);
            QVERIFY(log.startsWith(QString::fromUtf8(oldLog)));
        }
        QStringList lines = log.mid(fullLog ? oldLog.size() : 0).split('\n');
        QCOMPARE(lines.takeLast(), QString());
        for (const QString &logged : lines) {
            const QRegularExpressionMatch stamp = logStamp.match(logged);
            QVERIFY2(stamp.hasMatch() && event.match(logged.mid(stamp.capturedLength())).hasMatch(), qPrintable(log));
        }
        QCOMPARE(log.count(" update begins: "), count);
        QCOMPARE(log.count(" update complete: "), 1);
        QCOMPARE(log.count(" update done meanwhile by another starter\n"), count - 1);
        // The lock stays, let go of: the next start takes it without a word.
        QCOMPARE(readFile(lock), QByteArray("released\n"));
    }
}

// Replacing a check file that is in use moves it aside for a moment. A
// starter clicked then has found an update under way, not a missing
// installation: it waits for the update and starts the new program.
void LockTest::clickedWhileCheckFileIsAside()
{
    makeInstallation();
    QVERIFY(QFile::remove(target + "/quorvane.exe"));
    const QString lock = target + "/.quorvane-starter.lock";
    writeFile(lock, "1\nquorvane-starter\nanother-workstation\n"); // another starter at work
    QTemporaryDir output;
    QProcess starter;
    startStarter(starter, {"-m", master, "-t", target}, dir->path(), record, output.path());
    const QString log = target + "/quorvane-starter.log"; // written just before the lock is waited for
    QElapsedTimer timer;
    timer.start();
    while (!QFileInfo::exists(log) && starter.state() != QProcess::NotRunning && timer.elapsed() < 60000)
        starter.waitForFinished(50);
    QVERIFY2(QFileInfo::exists(log), "the starter did not wait for the update");

    // The other starter puts the new check file in place and lets go.
    QVERIFY(QFile::copy(master + "/quorvane.exe", target + "/quorvane.exe"));
    QVERIFY(QFile::remove(lock));
    const Run run = finishStarter(starter, output.path());
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, syncing);
    QCOMPARE(run.err, QByteArray());
    const Launch launch = waitForLaunch(record);
    QVERIFY(launch.happened);
    QCOMPARE(launch.size, qint64(standIn(20).size()));
}

void LockTest::leftoverLocks_data()
{
    QTest::addColumn<QString>("lock");    // what a starter that is gone left behind
    QTest::addColumn<bool>("old");        // left a while ago
    QTest::addColumn<bool>("asUser");     // in a target the user cannot write ...
    QTest::addColumn<int>("forMs");       // ... for good (0), or for this long (-1: the lock alone is root's;
                                          // -2: the same, which only root may read)
    QTest::addColumn<QString>("line");    // %L: the lock's path
    QTest::addColumn<int>("atMostS");     // how long it may take
    const QString takenOver = "took over the lock %L of a starter that is no longer at work\n";
    const QString alone = QString("cannot use the lock %L: %1; the target directory's lock alone keeps other "
                                  "starters out\n").arg(onWindows() ? "Access denied." : "Is a directory");
    const QString unknown = QString("cannot lock %L: %1; the installed program starts unchanged\n")
                                .arg(onWindows() ? "Access denied." : "Permission denied");
    const QString dead = "%P\nquorvane-starter\n\n";
    QTest::newRow("empty") << "" << true << false << 0 << takenOver << 5;
    QTest::newRow("garbage") << "\x01\x02 not a lock \xff" << true << false << 0 << takenOver << 5;
    // Its time says nothing (another clock): it is stale once it has not changed for 30 s (its
    // holder rewrites it for 3 s first).
    QTest::newRow("another machine's") << "1\nquorvane-starter\nanother-workstation\n" << true << false << 0
                                       << takenOver << 60;
    QTest::newRow("a dead starter's, just left") << dead << false << false << 0 << takenOver << 5;
    QTest::newRow("a directory") << "<dir>" << true << false << 0 << alone << 10;
    QTest::newRow("a link to nothing") << "<link to nothing>" << true << false << 0 << takenOver << 5;
    QTest::newRow("a link to a file elsewhere") << "<link to a file>" << true << false << 0 << takenOver << 5;
    // Locked open for reading: the update then fails, and says so.
    QTest::newRow("a dead starter's, where the user cannot write") << dead << true << true << 0 << takenOver << 10;
    // Whose holder cannot be told: never taken over, and nothing updated.
    QTest::newRow("a dead starter's, root's, that only root may read") << dead << true << true << -2 << unknown << 5;
    QTest::newRow("a dead starter's, root's, where the user may write") << dead << true << true << -1
                                                                       << takenOver << 5;
}

// A lock that no starter is working under never keeps the program from
// starting: it is taken over, or the update goes on without it, and a line
// says which. Nothing is written through a lock that is a link.
void LockTest::leftoverLocks()
{
    QFETCH(QString, lock);
    QFETCH(bool, old);
    QFETCH(bool, asUser);
    QFETCH(int, forMs);
    QFETCH(QString, line);
    QFETCH(int, atMostS);
    if (asUser && !isRoot())
        QSKIP("needs root: runs the starter as another user");
    if (lock.startsWith("<link") && onWindows())
        QSKIP("Wine shows a Unix link as what it leads to, or as nothing: no Windows link to try");
    makeInstallation();
    const QString path = target + "/.quorvane-starter.lock";
    const QString elsewhere = dir->path() + "/elsewhere";
    QProcess gone; // a process id that no longer runs
    gone.start("true", QStringList());
    QVERIFY(gone.waitForStarted());
    const qint64 pid = gone.processId();
    QVERIFY(gone.waitForFinished());
    if (lock == "<dir>") {
        makeDirs(path);
    } else if (lock.startsWith("<link")) {
        if (lock == "<link to a file>")
            writeFile(elsewhere, "precious");
        QVERIFY(QFile::link(elsewhere, path));
    } else {
        writeFile(path, lock.replace("%P", QString::number(pid)).toLatin1());
    }
    if (old)
        QCOMPARE(QProcess::execute("touch", {"-h", "-d", "1 hour ago", path}), 0);
    if (asUser) { // the master readable, the target not writable
        QVERIFY(QFile::setPermissions(dir->path(), QFile::permissions(dir->path()) | QFile::ExeOther
                                                       | QFile::ReadOther));
        giveToNobody(dir->path() + "/record");
    }
    if (forMs < 0) { // the target is the user's, the lock root's
        giveToNobody(target);
        QCOMPARE(QProcess::execute("chown", {"0:0", path}), 0);
        QVERIFY(QFile::setPermissions(path, forMs == -1 ? QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther
                                                        : QFile::ReadOwner | QFile::WriteOwner));
    }

    QAtomicInt takenWhileChanging;
    std::thread letGo([&] { // the target becomes the user's
        if (forMs > 0) {
            QThread::msleep(ulong(forMs));
            QProcess::execute("chown", {"-R", "65534:65534", target});
        }
        // Another machine's starter keeps its lock changing, then is gone.
        for (int i = 0; lock.contains("another-workstation") && i < 6 && !takenWhileChanging.loadAcquire(); ++i) {
            QThread::msleep(500);
            if (readFile(path) == lock.toLatin1())
                writeFile(path, lock.toLatin1());
            else
                takenWhileChanging.storeRelease(1);
        }
    });

    QElapsedTimer timer;
    timer.start();
    const Run run = start({}, asUser);
    letGo.join();
    QVERIFY2(timer.elapsed() < atMostS * 1000, "waited for a lock nobody holds");
    QVERIFY2(!takenWhileChanging.loadAcquire(), "took a lock that kept changing");
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, syncing);
    const QString expected = "quorvane-starter: " + line.replace("%L", shown(path));
    QVERIFY2(QString::fromUtf8(run.err).startsWith(expected), run.err.constData());
    QVERIFY(waitForLaunch(record).happened);
    QCOMPARE(QFileInfo::exists(elsewhere), lock == "<link to a file>");
    if (QFileInfo::exists(elsewhere))
        QCOMPARE(readFile(elsewhere), QByteArray("precious"));
    if (forMs == -2) { // nothing changed
        QCOMPARE(QString::fromUtf8(run.err), expected);
        QCOMPARE(readFile(target + "/quorvane.exe"), standIn(10));
    } else if (!asUser || forMs != 0) { // the update is done as well
        QCOMPARE(QString::fromUtf8(run.err), expected);
        verifyMirrored();
        QFile::remove(record);
        QCOMPARE(start().out, synced);
        QVERIFY(waitForLaunch(record).happened); // before the directory goes
    }
}

// A starter clicked while another one's update is held up (a debugger, a
// paused machine, an overloaded workstation) waits for it, however old the
// lock's time looks, and then starts the program the update brought.
void LockTest::liveUpdateIsWaitedFor()
{
    if (onWindows())
        QSKIP("holds the first starter up with strace: Linux only");
    writeStandIn(master + "/quorvane.exe", 20);
    writeFile(master + "/lib/core.dll", "core 2");
    writeStandIn(target + "/quorvane.exe", 10);
    QTemporaryDir firstOut, secondOut;
    QProcess first, second;
    // The first starter stops for 8 s in its first sync (of a copy, or of
    // the whole batch), with the lock made.
    startStarter(first, {"-m", master, "-t", target}, dir->path(), record + "1", firstOut.path(), false,
                 {"strace", "--seccomp-bpf", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fdatasync,syncfs",
                  "-e", "inject=fdatasync,syncfs:delay_enter=8000000:when=1"});
    const QString lock = target + "/.quorvane-starter.lock";
    QTRY_VERIFY_WITH_TIMEOUT(readFile(lock).endsWith("\n") && readFile(lock) != "released\n", 10000);
    // Meanwhile the clock was stepped: the lock looks an hour old.
    QCOMPARE(QProcess::execute("touch", {"-d", "1 hour ago", lock}), 0);
    startStarter(second, {"-m", master, "-t", target}, dir->path(), record + "2", secondOut.path());
    // Its holder keeps it fresh, held up as it is, as another machine's starter watching it sees.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(lock).lastModified().secsTo(QDateTime::currentDateTime()) < 60, 20000);
    QCOMPARE(first.state(), QProcess::Running);

    const Run updating = finishStarter(first, firstOut.path());
    const Run waiting = finishStarter(second, secondOut.path());
    QCOMPARE(updating.err, QByteArray());
    QCOMPARE(waiting.err, QByteArray());
    QCOMPARE(updating.out, syncing);
    QCOMPARE(waiting.out, syncing);
    const Launch one = waitForLaunch(record + "1"), two = waitForLaunch(record + "2");
    QCOMPARE(one.size, qint64(standIn(20).size()));
    QCOMPARE(two.size, qint64(standIn(20).size()));
    // The second found the first's update done (it started the new program
    // above): it waited, and did not update beside it. (Which of the two
    // starts the program first is a race: the first runs under strace.)
    const QByteArray log = readFile(target + "/quorvane-starter.log");
    QCOMPARE(log.count(" update complete: "), 1);
    QCOMPARE(log.count(" update done meanwhile by another starter"), 1);
    verifyMirrored();
}

void LockTest::staleLockMetAtOnce_data()
{
    // The first starter stops for 0.5 s, the second for 1.5 s, each at the
    // same call on the lock: the second comes to each step of taking the
    // lock over after the first has taken it.
    QTest::addColumn<QString>("call"); // on the lock file, as strace names it
    QTest::addColumn<int>("when");     // the how-manieth such call
    QTest::newRow("opening it") << "openat" << 1;
    QTest::newRow("locking it") << "flock" << 1;
    QTest::newRow("locking it again") << "flock" << 2;
    QTest::newRow("telling whether it is the file at its name") << "newfstatat" << 2;
    QTest::newRow("reading who held it") << "pread64" << 1;
    QTest::newRow("writing its own name") << "pwrite64" << 1;
    QTest::newRow("removing it") << "unlink" << 1;
    QTest::newRow("making it anew") << "openat" << 4;
}

// Two starters clicked together meet the lock of a starter of this machine
// that was killed: whatever step of taking it over either is held up at,
// one takes it over and updates, the other waits for it and finds the work
// done.
void LockTest::staleLockMetAtOnce()
{
    QFETCH(QString, call);
    QFETCH(int, when);
    if (onWindows())
        QSKIP("holds the starters up with strace: Linux only");
    makeInstallation();
    for (int i = 0; i < 200; ++i)
        writeFile(QString("%1/data/f%2").arg(master).arg(i), QByteArray(20000 + i, 'd'));
    const QString lock = target + "/.quorvane-starter.lock";
    QProcess gone; // a process id that no longer runs
    gone.start("true", QStringList());
    QVERIFY(gone.waitForFinished());
    writeFile(lock, QString("%1\nquorvane-starter\n\n").arg(gone.processId()).toLatin1());
    QCOMPARE(QProcess::execute("touch", {"-d", "1 hour ago", lock}), 0);

    std::vector<std::unique_ptr<QProcess>> starters;
    std::vector<std::unique_ptr<QTemporaryDir>> outputs;
    for (const int delayMs : {500, 1500}) {
        starters.emplace_back(new QProcess);
        outputs.emplace_back(new QTemporaryDir);
        startStarter(*starters.back(), {"-m", master, "-t", target}, dir->path(),
                     record + QString::number(delayMs), outputs.back()->path(), false,
                     {"strace", "-f", "-qq", "-o", "/dev/null", "-P", lock, "-e",
                      QString("inject=%1:delay_enter=%2:when=%3").arg(call).arg(delayMs * 1000).arg(when)});
    }
    QByteArray err;
    for (int i = 0; i < 2; ++i) {
        const Run run = finishStarter(*starters[i], outputs[i]->path());
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out, syncing);
        err += run.err;
    }
    QCOMPARE(QString::fromUtf8(err), "quorvane-starter: took over the lock " + shown(lock)
                                         + " of a starter that is no longer at work\n");
    const QByteArray log = readFile(target + "/quorvane-starter.log");
    QCOMPARE(log.count(" update complete: "), 1);
    QCOMPARE(log.count(" update done meanwhile by another starter"), 1);
    verifyMirrored();
}

void LockTest::usersAtOnce_data()
{
    QTest::addColumn<QString>("lock");     // root's, in the way when both come
    QTest::addColumn<int>("mode");         // the lock file's permissions
    QTest::addColumn<QString>("userSays"); // %L: the lock's path; the unprivileged starter's first line, if any
    QTest::addColumn<bool>("sticky");      // else anyone may replace anyone's files
    const QString unknown = QString("cannot lock %L: %1; the installed program starts unchanged")
                                .arg(onWindows() ? "Access denied." : "Permission denied");
    QTest::newRow("no lock yet") << "" << 0 << "" << true;
    QTest::newRow("root's, that others may read") << "released\n" << 0644 << "" << true;
    QTest::newRow("root's, that only root may read") << "released\n" << 0600 << unknown << true;
    QTest::newRow("a directory") << "<dir>" << 0755 << "" << true;
    QTest::newRow("root's, that only root may read, anyone replacing files") << "released\n" << 0600 << unknown
                                                                              << false;
    QTest::newRow("a directory, anyone replacing files") << "<dir>" << 0755 << "" << false;
}

// Root and another user start at once in a shared target where anyone may
// make files but only their owner remove them (a sticky directory; on
// Windows the rights of C:\ProgramData): whatever the lock left there, they
// never update together, and the installation ends all new.
void LockTest::usersAtOnce()
{
    QFETCH(QString, lock);
    QFETCH(int, mode);
    QFETCH(QString, userSays);
    QFETCH(bool, sticky);
    if (!isRoot())
        QSKIP("needs root: runs a starter as another user");
    if (onWindows())
        QSKIP("Wine runs each user's programs under a server of their own, which share no lock or mutex");
    makeInstallation();
    for (int i = 0; i < 100; ++i)
        writeFile(QString("%1/data/f%2").arg(master).arg(i), QByteArray(20000 + i, 'd'));
    const QString path = target + "/.quorvane-starter.lock";
    if (lock == "<dir>")
        makeDirs(path + "/inside");
    else if (!lock.isEmpty())
        writeFile(path, lock.toLatin1());
    QCOMPARE(QProcess::execute("sh", {"-c", "chmod a+rx \"$0\" && find \"$1\" -type d -exec chmod $2 {} + "
                                            "&& find \"$1\" -type f -exec chmod a+rw {} +",
                                      dir->path(), target, sticky ? "1777" : "777"}), 0);
    if (lock == "<dir>")
        QCOMPARE(QProcess::execute("chmod", {"755", path}), 0);
    if (mode && lock != "<dir>")
        QCOMPARE(QProcess::execute("chmod", {QString::number(mode, 8), path}), 0);
    giveToNobody(dir->path() + "/record");
    const QString go = dir->path() + "/go";
    const QStringList atTheLine{"sh", "-c", "while [ ! -e \"$0\" ]; do sleep 0.01; done; exec \"$@\"", go};
    QProcess starters[2];
    QTemporaryDir outputs[2];
    for (int i = 0; i < 2; ++i) {
        QVERIFY(QFile::setPermissions(outputs[i].path(), QFile::permissions(outputs[i].path()) | QFile::WriteOther
                                                             | QFile::ExeOther));
        startStarter(starters[i], {"-m", master, "-t", target}, dir->path(), record + QString::number(i),
                     outputs[i].path(), i == 1, atTheLine);
    }
    QThread::msleep(300);
    writeFile(go, "");
    for (int i = 0; i < 2; ++i) {
        const Run run = finishStarter(starters[i], outputs[i].path());
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out, syncing);
        if (i == 1 && !userSays.isEmpty())
            QVERIFY2(QString::fromUtf8(run.err).startsWith("quorvane-starter: " + userSays.replace("%L", shown(path))),
                     run.err.constData());
        QVERIFY(waitForLaunch(record + QString::number(i)).happened);
    }
    // One update went in, whole; the other, if any, went in not at all.
    const QByteArray log = readFile(target + "/quorvane-starter.log");
    QCOMPARE(log.count(" update complete: "), 1);
    verifyMirrored();
}

void LockTest::olderStarterBeside_data()
{
    QTest::addColumn<bool>("olderFirst");   // else a new starter is at work first
    QTest::addColumn<int>("holdMs");         // how long the (first) older starter holds the lock
    QTest::addColumn<QString>("newHeldUp");  // the new starter stops so (strace), "" not
    QTest::addColumn<int>("secondOlder");    // another older starter comes: 1 when the first lets go, 2 while it holds
    QTest::addColumn<bool>("killed");        // the older starter is killed after holdMs
    QTest::addColumn<QString>("olderHeldUp"); // the (first) older starter stops so (strace), "" not
    QTest::addColumn<bool>("deadFirst");      // a dead starter's lock is there when they come
    QTest::newRow("an older starter at work, a new one comes") << true << 2000 << "" << 0 << false << "" << false;
    QTest::newRow("a new starter at work, an older one comes")
        << false << 500 << "trace=fdatasync,syncfs;inject=fdatasync,syncfs:delay_enter=3000000:when=1" << 0
        << false << "" << false;
    // The new one opened the older one's lock, and locks it only once the
    // older one has removed it and another older one has made its own.
    QTest::newRow("an older starter lets go, a new one locks what it left, another older one makes its own")
        << true << 1000 << "trace=flock;inject=flock:delay_enter=1500000:when=1" << 1 << false << "" << false;
    // Also on Windows, where an older starter kept its lock open sharing
    // nothing but reading (here: nothing at all).
    QTest::newRow("an older starter killed while it holds the lock") << true << 1500 << "" << 0 << true << "" << false;
    // The older one has made its lock file, empty, and not locked it yet when the new one comes.
    QTest::newRow("an older starter between making its lock and locking it, a new one comes")
        << true << 2000 << "" << 0 << false << "trace=flock;inject=flock:delay_enter=2000000:when=1" << false;
    // The new one would hold a probe of its own on that file just as the
    // older one locks it: the older one's lock then fails, and it goes on
    // without one, where another older one takes its file over.
    QTest::newRow("an older starter between making its lock and locking it, a new one, another older one")
        << true << 3000 << "trace=pread64;inject=pread64:delay_enter=2000000:when=1" << 2 << false
        << "trace=flock;inject=flock:delay_enter=500000:when=1" << false;
    // The new one opened a dead starter's lock and locks it only once an
    // older one has removed it and made its own: it must tell that the file
    // it locked is no longer the one at the lock's name.
    QTest::newRow("a dead starter's lock, a new one held before locking it, an older one takes it over")
        << false << 2000 << "trace=flock;inject=flock:delay_enter=1500000:when=1" << 0 << false << "" << true;
}

// During a rollout starters of the previous release (QLockFile) and new ones
// meet at one target: whichever comes first, they never update it together.
void LockTest::olderStarterBeside()
{
    QFETCH(bool, olderFirst);
    QFETCH(int, holdMs);
    QFETCH(QString, newHeldUp);
    QFETCH(int, secondOlder);
    QFETCH(bool, killed);
    QFETCH(QString, olderHeldUp);
    QFETCH(bool, deadFirst);
    if (onWindows() && !killed)
        QSKIP("the older starter is a Linux program, the new one held up with strace");
    makeInstallation();
    const QString lock = target + "/.quorvane-starter.lock";
    const QString tookOver = "quorvane-starter: took over the lock " + shown(lock)
                             + " of a starter that is no longer at work\n";
    if (killed) {
        QProcess gone; // the older starter's process id, once it is killed
        gone.start("true", QStringList());
        QVERIFY(gone.waitForFinished());
        QProcess holder;
        if (onWindows()) {
            writeFile(lock, QString("%1\nquorvane-starter\n\n").arg(gone.processId()).toLatin1());
            QVERIFY(holdFiles(holder, {lock}, holdMs / 1000.0));
        } else {
            holder.start(OLD_STARTER_PATH, {target, "60000"});
            QVERIFY(holder.waitForReadyRead(10000)); // "acquired ..."
        }
        QElapsedTimer timer;
        timer.start();
        QProcess starter;
        QTemporaryDir output;
        startStarter(starter, {"-m", master, "-t", target}, dir->path(), record, output.path());
        if (!onWindows()) {
            QThread::msleep(ulong(holdMs));
            holder.kill();
            holder.waitForFinished();
        }
        const Run run = finishStarter(starter, output.path());
        QVERIFY(holder.state() == QProcess::NotRunning || holder.waitForFinished(20000));
        QVERIFY2(timer.elapsed() >= holdMs, "did not wait for the older starter");
        QCOMPARE(QString::fromUtf8(run.err), tookOver);
        QCOMPARE(run.status, 0);
        QCOMPARE(readFile(target + "/quorvane-starter.log").count(" update complete: "), 1);
        verifyMirrored();
        return;
    }
    const auto heldUpBy = [&](const QString &options) {
        QStringList prefix;
        if (!options.isEmpty())
            prefix << "strace" << "-f" << "-qq" << "-o" << "/dev/null";
        if (options.contains("flock") || options.contains("pread"))
            prefix << "-P" << lock;
        for (const QString &option : options.split(';', Qt::SkipEmptyParts))
            prefix << "-e" << option;
        return prefix;
    };
    QProcess older, other, starter;
    other.setProgram(OLD_STARTER_PATH);
    other.setArguments({target, "3000"});
    QStringList olderCommand = heldUpBy(olderHeldUp) << OLD_STARTER_PATH << target << QString::number(holdMs);
    older.setProgram(olderCommand.takeFirst());
    older.setArguments(olderCommand);
    const QStringList prefix = heldUpBy(newHeldUp);
    QTemporaryDir output;
    if (olderFirst) {
        older.start();
        if (olderHeldUp.isEmpty()) {
            QVERIFY(older.waitForReadyRead(10000)); // "acquired ..."
        } else { // held where the row says; one machine, so the lock's time is the starter's clock's
            shiftStarterClock(0);
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(lock), 10000);
        }
        startStarter(starter, {"-m", master, "-t", target}, dir->path(), record, output.path(), false, prefix);
        if (secondOlder == 1)
            QVERIFY(older.waitForFinished(10000));
        else if (secondOlder == 2)
            QThread::msleep(1000); // the new one has met the lock
        if (secondOlder)
            other.start();
    } else if (deadFirst) {
        QProcess gone; // a process id that no longer runs
        gone.start("true", QStringList());
        QVERIFY(gone.waitForStarted());
        const qint64 pid = gone.processId();
        QVERIFY(gone.waitForFinished());
        writeFile(lock, QString("%1\nquorvane-starter\n\n").arg(pid).toLatin1());
        startStarter(starter, {"-m", master, "-t", target}, dir->path(), record, output.path(), false, prefix);
        QThread::msleep(500); // the new one has opened it, and is held before locking it
        older.start();
    } else {
        startStarter(starter, {"-m", master, "-t", target}, dir->path(), record, output.path(), false, prefix);
        QTRY_VERIFY_WITH_TIMEOUT(readFile(lock).endsWith("\n") && readFile(lock) != "released\n", 10000);
        older.start();
    }
    const Run run = finishStarter(starter, output.path());
    QVERIFY(older.state() == QProcess::NotRunning || older.waitForFinished(20000));
    const QByteArray said = older.readAllStandardOutput();
    QVERIFY2(run.err.isEmpty(), run.err + said);
    QCOMPARE(run.status, 0);
    QVERIFY2(said.endsWith("undisturbed\n"), said.constData());
    // An older starter that comes second finds the new one's update done.
    if (!olderFirst && !deadFirst)
        QVERIFY2(said.startsWith("acquired " + QByteArray::number(standIn(20).size())), said.constData());
    if (secondOlder) {
        QVERIFY(other.waitForFinished(20000));
        QVERIFY2(other.readAllStandardOutput().endsWith("undisturbed\n"), "the second older starter");
    }
    const QByteArray log = readFile(target + "/quorvane-starter.log");
    QCOMPARE(log.count(" update complete: "), 1);
    verifyMirrored();
}

QTEST_GUILESS_MAIN(LockTest)
#include "tst_lock.moc"
