#include "testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void makeDirs(const QString &path)
{
    QVERIFY2(QDir().mkpath(path), qPrintable(path));
}

void writeFile(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(contents), qint64(contents.size()));
}

void makeOld(const QString &dir)
{
    const timespec dayAgo = { time(nullptr) - 86400, 0 };
    const timespec times[2] = { dayAgo, dayAgo };
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        QCOMPARE(utimensat(AT_FDCWD, QFile::encodeName(it.next()).constData(), times, 0), 0);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return file.readAll();
}

QMap<QString, QByteArray> treeOf(const QString &dir)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = path.mid(dir.size() + 1);
        if (info.isSymLink())
            tree[relative] = "-> " + info.symLinkTarget().toUtf8();
        else if (info.isDir())
            tree[relative] = "<dir>";
        else if (info.isFile())
            tree[relative] = readFile(path);
        else
            tree[relative] = "<special>";
    }
    return tree;
}

QStringList partialCopiesIn(const QString &dir)
{
    QStringList found;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileName().startsWith(QLatin1String(".~qv")) || it.fileName().startsWith(QLatin1String("qt_temp")))
            found << path;
    }
    return found;
}

namespace {

QString wineStarter()
{
    return qEnvironmentVariable("QUORVANE_TEST_WINE_STARTER");
}

QProcessEnvironment wineEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("WINEDEBUG", "-all");
    env.insert("WINEDLLOVERRIDES", "mscoree=;mshtml=");
    env.remove("DISPLAY");
    return env;
}

// "Z:\tmp\x" or "\tmp\x" as the Unix path that Wine's drive Z: maps to.
QString fromWindowsPath(QString path)
{
    path.replace('\\', '/');
    if (path.startsWith("Z:/", Qt::CaseInsensitive))
        path.remove(0, 2);
    return path;
}

} // namespace

namespace {
QString otherStarter;
}

QString starterPath()
{
    if (!otherStarter.isEmpty())
        return otherStarter;
    return onWindows() ? wineStarter() : QString::fromUtf8(STARTER_PATH);
}

void useStarter(const QString &path)
{
    otherStarter = path;
}

bool onWindows()
{
    return !wineStarter().isEmpty();
}

int runWine(const QStringList &command, const QString &dir)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setProcessEnvironment(wineEnvironment());
    process.start("wine", command);
    if (!process.waitForFinished(60000))
        return -1;
    return process.exitCode();
}

void mapDefaultDrives(const QString &dir)
{
    const QString prefix = qEnvironmentVariable("WINEPREFIX");
    QVERIFY2(!prefix.isEmpty(), "WINEPREFIX is not set");
    for (const auto &link : { qMakePair(prefix + "/dosdevices/x:", dir + "/x:"),
                              qMakePair(prefix + "/drive_c/belvinta", dir + "/c:/belvinta") }) {
        QFile::remove(link.first);
        QVERIFY(QFile::link(link.second, link.first));
    }
}

QString shown(QString path)
{
    return onWindows() ? path.replace('/', '\\') : path;
}

QByteArray standIn(int extra)
{
    if (onWindows()) {
        static const QByteArray program = readFile(qEnvironmentVariable("QUORVANE_TEST_WINE_STANDIN"));
        return program + "#" + QByteArray(extra, 'x') + "\n";
    }
    QByteArray script =
        "#!/bin/sh\n"
        "exec </dev/null >/dev/null 2>&1\n"
        "record=\"$QUORVANE_TEST_RECORD\"\n"
        "{ echo \"program:$0\"; echo \"cwd:$(pwd)\"; echo \"pid:$$\"; echo \"size:$(wc -c < \"$0\")\";\n"
        "  for a in \"$@\"; do echo \"arg:$a\"; done; } > \"$record.tmp\" && mv \"$record.tmp\" \"$record\"\n"
        "if [ -n \"$QUORVANE_TEST_LINGER\" ]; then sleep \"$QUORVANE_TEST_LINGER\"; : > \"$record.done\"; fi\n"
        "exit 0\n";
    return script + "#" + QByteArray(extra, 'x') + "\n";
}

void writeStandIn(const QString &path, int extra)
{
    writeFile(path, standIn(extra));
    QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
}

Launch waitForLaunch(const QString &record, int timeoutMs)
{
    Launch launch;
    QElapsedTimer timer;
    timer.start();
    while (!QFile::exists(record)) {
        if (timer.elapsed() > timeoutMs)
            return launch;
        QThread::msleep(10);
    }
    launch.happened = true;
    const QList<QByteArray> lines = readFile(record).split('\n');
    for (const QByteArray &line : lines) {
        const QString text = QString::fromUtf8(line);
        if (text.startsWith(QLatin1String("program:")))
            launch.program = onWindows() ? text.mid(8).replace('\\', '/') : text.mid(8);
        else if (text.startsWith(QLatin1String("cwd:")))
            launch.workingDir = onWindows() ? fromWindowsPath(text.mid(4)) : text.mid(4);
        else if (text.startsWith(QLatin1String("pid:")))
            launch.pid = text.mid(4).toLongLong();
        else if (text.startsWith(QLatin1String("size:")))
            launch.size = text.mid(5).trimmed().toLongLong();
        else if (text.startsWith(QLatin1String("arg:")))
            launch.arguments << text.mid(4);
    }
    return launch;
}

namespace {
int clockShiftS = 0;

// "nobody" may not reach into the checkout (a clone in a directory only its
// owner enters): what its runs load is copied, once per test process, to a
// directory it can reach, which goes when the process ends.
QString reachableCopy(const QString &path)
{
    static QTemporaryDir staging;
    static QMap<QString, QString> copies;
    if (!copies.contains(path)) {
        const QString copy = QString("%1/%2/%3").arg(staging.path()).arg(copies.size())
                                 .arg(QFileInfo(path).fileName());
        QFile::setPermissions(staging.path(), QFile::permissions(staging.path()) | QFile::ReadOther
                                                  | QFile::ExeOther);
        if (!QDir().mkpath(QFileInfo(copy).path()) || !QFile::copy(path, copy))
            qWarning("cannot copy %s for the unprivileged runs", qPrintable(path));
        copies.insert(path, copy);
    }
    return copies.value(path);
}

}

void shiftStarterClock(int seconds)
{
    clockShiftS = seconds;
}

void startStarter(QProcess &process, const QStringList &args, const QString &workDir, const QString &record,
                  const QString &outputDir, bool asUser, const QStringList &prefix)
{
    QStringList command = prefix;
    if (asUser)
        command << "setpriv" << "--reuid=65534" << "--regid=65534" << "--clear-groups";
    if (onWindows())
        command << "wine";
    command << (asUser ? reachableCopy(starterPath()) : starterPath());
    command += args;

    process.setWorkingDirectory(workDir);
    QProcessEnvironment env = onWindows() ? wineEnvironment() : QProcessEnvironment::systemEnvironment();
    if (onWindows() && asUser) { // Wine runs only for the owner of its prefix
        env.insert("WINEPREFIX", qEnvironmentVariable("QUORVANE_TEST_WINE_NOBODY_PREFIX"));
        env.insert("HOME", qEnvironmentVariable("QUORVANE_TEST_WINE_NOBODY_PREFIX"));
    }
    env.insert("QUORVANE_TEST_RECORD", record);
    if (clockShiftS != 0) { // Wine's processes take their time from the same calls
        env.insert("LD_PRELOAD", asUser ? reachableCopy(CLOCKSHIM_PATH) : QString(CLOCKSHIM_PATH));
        env.insert("QUORVANE_CLOCK_SHIFT", QString::number(clockShiftS));
    }
    process.setProcessEnvironment(env);
    // Files, not pipes: a started application inherits the handles, and a
    // pipe would stay open until it ends.
    process.setStandardOutputFile(outputDir + "/out");
    process.setStandardErrorFile(outputDir + "/err");
    process.start(command.first(), command.mid(1));
}

Run finishStarter(QProcess &process, const QString &outputDir)
{
    Run run;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.out = readFile(outputDir + "/out");
    run.err = readFile(outputDir + "/err");
    if (onWindows()) { // Windows' C runtime ends lines in CR LF
        run.out.replace("\r\n", "\n");
        run.err.replace("\r\n", "\n");
    }
    if (process.exitStatus() == QProcess::NormalExit)
        run.status = process.exitCode();
    return run;
}

Run runStarter(const QStringList &args, const QString &workDir, const QString &record,
               bool asUser, const QStringList &prefix)
{
    QTemporaryDir outputs;
    QProcess process;
    startStarter(process, args, workDir, record, outputs.path(), asUser, prefix);
    return finishStarter(process, outputs.path());
}

bool isRoot()
{
    return geteuid() == 0;
}

void giveToNobody(const QString &path)
{
    QCOMPARE(QProcess::execute("chown", QStringList() << "-R" << "65534:65534" << path), 0);
}

void setImmutable(const QString &path, bool on)
{
    QCOMPARE(QProcess::execute("chattr", QStringList() << (on ? "+i" : "-i") << path), 0);
}

MirrorOptions checkingFile(const QString &checkFile)
{
    MirrorOptions options;
    options.checkFile = checkFile;
    return options;
}

const QByteArray StarterFixture::synced = "Synchronizovano\n";
const QByteArray StarterFixture::syncing = "Synchronizuji program, cekejte prosim ...\nSynchronizovano\n";
const QRegularExpression StarterFixture::logStamp("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d([+-]\\d\\d:\\d\\d|Z) ");

void StarterFixture::init()
{
    // Masters are written just before each start; as people click, they look
    // published minutes ago. The release guard's own tests move it back.
    shiftStarterClock(300);
    dir = new QTemporaryDir;
    QVERIFY(dir->isValid());
    master = dir->path() + "/master";
    target = dir->path() + "/target";
    record = dir->path() + "/record/launched";
    makeDirs(dir->path() + "/record");
}

void StarterFixture::cleanup()
{
    // A tree deeper than a path may be long outlives QDir's removal: rm walks it.
    if (!dir->remove())
        QProcess::execute("rm", {"-rf", dir->path()});
    delete dir;
}

// A master one release ahead of the installed copy.
void StarterFixture::makeInstallation()
{
    writeStandIn(master + "/quorvane.exe", 20);
    writeFile(master + "/lib/core.dll", "core 2");
    writeFile(master + "/lib/plugins/p.dll", "plugin 2");
    writeFile(master + "/quorvaneglobal.conf.xml", "<master/>");
    writeStandIn(target + "/quorvane.exe", 10);
    writeFile(target + "/lib/core.dll", "core 1");
    writeFile(target + "/quorvaneglobal.conf.xml", "<local/>");
    writeFile(target + "/user.ini", "mine");
    makeOld(target);
}

// Every master file (but the configuration) is in the target as it is in the
// master, and no temporary file is left.
void StarterFixture::verifyMirrored()
{
    const auto targetTree = treeOf(target);
    const auto masterTree = treeOf(master);
    for (auto it = masterTree.begin(); it != masterTree.end(); ++it) {
        if (!it.key().endsWith("quorvaneglobal.conf.xml"))
            QVERIFY2(targetTree.value(it.key()) == it.value(), qPrintable(it.key()));
    }
    QCOMPARE(partialCopiesIn(target), QStringList());
}

Run StarterFixture::start(const QStringList &extra, bool asUser, const QStringList &prefix)
{
    return runStarter(QStringList{"-m", master, "-t", target} + extra, dir->path(), record, asUser, prefix);
}

bool StarterFixture::holdFiles(QProcess &holder, const QStringList &paths, double seconds)
{
    const QString ready = dir->path() + "/held";
    QStringList arguments{qEnvironmentVariable("QUORVANE_TEST_WINE_STANDIN"), "--hold", QString::number(seconds),
                          shown(ready)};
    for (const QString &path : paths)
        arguments << shown(path);
    holder.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    holder.start("wine", arguments);
    QElapsedTimer timer;
    timer.start();
    while (!QFileInfo::exists(ready) && timer.elapsed() < 30000)
        QThread::msleep(20);
    return QFileInfo::exists(ready);
}
