#include "testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>
#include <QThread>

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

QByteArray standIn(int extra)
{
    QByteArray script =
        "#!/bin/sh\n"
        "exec </dev/null >/dev/null 2>&1\n"
        "record=\"$QUORVANE_TEST_RECORD\"\n"
        "{ echo \"program:$0\"; echo \"cwd:$(pwd)\"; echo \"pid:$$\";\n"
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
            launch.program = text.mid(8);
        else if (text.startsWith(QLatin1String("cwd:")))
            launch.workingDir = text.mid(4);
        else if (text.startsWith(QLatin1String("pid:")))
            launch.pid = text.mid(4).toLongLong();
        else if (text.startsWith(QLatin1String("arg:")))
            launch.arguments << text.mid(4);
    }
    return launch;
}

Run runStarter(const QStringList &args, const QString &workDir, const QString &record,
               bool asUser, const QStringList &prefix)
{
    QStringList command = prefix;
    if (asUser)
        command << "setpriv" << "--reuid=65534" << "--regid=65534" << "--clear-groups";
    command << QString::fromUtf8(STARTER_PATH);
    command += args;

    QProcess process;
    process.setWorkingDirectory(workDir);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUORVANE_TEST_RECORD", record);
    process.setProcessEnvironment(env);
    process.start(command.first(), command.mid(1));
    Run run;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    if (process.exitStatus() == QProcess::NormalExit)
        run.status = process.exitCode();
    return run;
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
