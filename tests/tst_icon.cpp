// The Windows executables carry one 48 x 48, 32-bit application icon; the
// starter is a console program, the prefetch one that never gets a console.
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

class IconTest : public QObject
{
    Q_OBJECT

private slots:
    void header();
    void resourceScriptCompiles();
    void windowsExecutable_data();
    void windowsExecutable();
    void startedWithoutConsole_data();
    void startedWithoutConsole();
};


void IconTest::header()
{
    const QByteArray ico = readFile(RESOURCES_DIR "/quorvane-starter.ico");
    QVERIFY(ico.size() > 22 + 40);
    const uchar *data = reinterpret_cast<const uchar *>(ico.constData());
    QCOMPARE(qFromLittleEndian<quint16>(data + 0), quint16(0)); // reserved
    QCOMPARE(qFromLittleEndian<quint16>(data + 2), quint16(1)); // an icon, not a cursor
    QCOMPARE(qFromLittleEndian<quint16>(data + 4), quint16(1)); // one image
    QCOMPARE(int(data[6]), 48);
    QCOMPARE(int(data[7]), 48);
    QCOMPARE(qFromLittleEndian<quint16>(data + 12), quint16(32));
    const quint32 size = qFromLittleEndian<quint32>(data + 14);
    const quint32 offset = qFromLittleEndian<quint32>(data + 18);
    QCOMPARE(qint64(offset) + size, qint64(ico.size()));
    // The image itself: a bitmap of the same size and depth.
    const uchar *bitmap = data + offset;
    QCOMPARE(qFromLittleEndian<quint32>(bitmap + 0), quint32(40));
    QCOMPARE(qFromLittleEndian<qint32>(bitmap + 4), qint32(48));
    QCOMPARE(qFromLittleEndian<qint32>(bitmap + 8), qint32(96)); // colour and mask rows
    QCOMPARE(qFromLittleEndian<quint16>(bitmap + 14), quint16(32));
    QCOMPARE(size, quint32(40 + 48 * 48 * 4 + 48 * 8));
}

void IconTest::resourceScriptCompiles()
{
    const QString windres = QStandardPaths::findExecutable("x86_64-w64-mingw32-windres");
    if (windres.isEmpty())
        QSKIP("x86_64-w64-mingw32-windres is not installed (binutils-mingw-w64-x86-64)");
    const QByteArray script = readFile(RESOURCES_DIR "/quorvane-starter.rc");
    QVERIFY(script.contains("IDI_ICON1 ICON \"quorvane-starter.ico\""));

    QTemporaryDir dir;
    QProcess process;
    process.setWorkingDirectory(RESOURCES_DIR);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(windres, QStringList() << "--preprocessor=cpp" << "quorvane-starter.rc"
                                         << "-O" << "coff" << "-o" << dir.path() + "/icon.o");
    QVERIFY(process.waitForFinished());
    QVERIFY2(process.exitCode() == 0, process.readAll().constData());
    QVERIFY(QFileInfo(dir.path() + "/icon.o").size() > 9000); // the image went in
}

void IconTest::windowsExecutable_data()
{
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QString>("subsystem");
    QTest::addColumn<QString>("description");
    // IMAGE_SUBSYSTEM_WINDOWS_CUI: its statuses and lines need a console
    QTest::newRow("starter") << QByteArray("QUORVANE_TEST_WINE_STARTER") << "subsystem 3"
                             << "Quorvane starter: updates the installation from the master copy, then starts Quorvane";
    // IMAGE_SUBSYSTEM_WINDOWS_GUI: no window at a scheduled or logon start
    QTest::newRow("prefetch") << QByteArray("QUORVANE_TEST_WINE_PREFETCH") << "subsystem 2"
                              << "Quorvane prefetch: fetches a new release ahead of the next start, without a window";
}

// The built .exe as Windows sees it: a program of its subsystem that needs
// nothing but Windows' own DLLs, with the icon, version and manifest resources.
void IconTest::windowsExecutable()
{
    QFETCH(QByteArray, variable);
    QFETCH(QString, subsystem);
    QFETCH(QString, description);
    const QString exe = qEnvironmentVariable(variable.constData());
    if (exe.isEmpty())
        QSKIP("no Windows executable under test (scripts/test windows)");
    QProcess process;
    process.start("/usr/bin/python3", {QString(TESTS_DIR "/peinfo.py"), exe});
    QVERIFY(process.waitForFinished());
    QVERIFY2(process.exitCode() == 0, process.readAllStandardError().constData());
    const QStringList facts = QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);

    QVERIFY2(facts.contains(subsystem), qPrintable(facts.filter("subsystem").join(' ')));
    const QStringList windowsDlls{"advapi32.dll", "api-ms-win-core-synch-l1-2-0.dll", "authz.dll",
                                  "kernel32.dll", "msvcrt.dll", "netapi32.dll", "ole32.dll", "shell32.dll",
                                  "user32.dll", "userenv.dll", "version.dll", "winmm.dll", "ws2_32.dll"};
    for (const QString &fact : facts) {
        if (fact.startsWith("import "))
            QVERIFY2(windowsDlls.contains(fact.mid(7)), qPrintable(fact)); // no Qt, no MinGW runtime
    }
    for (const QString &fact : {QString("resource 14 IDI_ICON1"), QString("resource 3 1"), QString("resource 16 1"),
                                QString("resource 24 1"), QString("version ProductName=Quorvane Starter"),
                                QString("version FileVersion=0.1"), "version FileDescription=" + description})
        QVERIFY2(facts.contains(fact), qPrintable(fact));
}

void IconTest::startedWithoutConsole_data()
{
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<int>("status");
    QTest::newRow("starter: a console of its own") << QByteArray("QUORVANE_TEST_WINE_STARTER") << 1;
    QTest::newRow("prefetch: none") << QByteArray("QUORVANE_TEST_WINE_PREFETCH") << 0;
}

// Started by a program without a console, as Task Scheduler or a logon start
// does it (tests/consolecheck-win.c): a console program gets a console of its
// own, which shows as a window; the prefetch gets none.
void IconTest::startedWithoutConsole()
{
    QFETCH(QByteArray, variable);
    QFETCH(int, status);
    const QString exe = qEnvironmentVariable(variable.constData());
    if (exe.isEmpty())
        QSKIP("no Windows executable under test (scripts/test windows)");
    // 0 no console, 1 a console, 2 no answer
    QCOMPARE(runWine({qEnvironmentVariable("QUORVANE_TEST_WINE_CONSOLECHECK"), exe}, QDir::tempPath()), status);
}

QTEST_GUILESS_MAIN(IconTest)
#include "tst_icon.moc"
