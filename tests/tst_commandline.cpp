// The command line as a user meets it: texts byte for byte, exit statuses,
// and which settings a run ends up using.
#include "testsupport.h"

#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray usage =
    "usage: quorvane-starter <parameters> \n"
    "  -t, --target <dir>            target dir <c:/belvinta/quorvane>\n"
    "  -m, --master <dir>            master dir <x:/quorvane>\n"
    "  -f, --file <filename>         check filename <quorvane.exe>\n"
    "  -v, --version                 show version\n"
    "  -h, --help                    this usage screen\n"
    "      --prefetch                fetch a release ahead, for the next start\n"
    "      --prefetch-delay <s>      first wait a random time up to <s> seconds\n"
    "      --prefetch-rate <KB/s>    read the master no faster than this\n";
const QByteArray version = "quorvane-starter version:0.1\n";

const QByteArray synced = "Synchronizovano\n";
const QByteArray syncing = "Synchronizuji program, cekejte prosim ...\nSynchronizovano\n";

// The working directory of every run: the default trees, whose check files
// match; "m1" and "t1", whose check files differ; "m2", matching "t1"; and an
// "other.exe" in each, of sizes that differ between m1 and t1 only.
void makeTrees(const QString &dir)
{
    const QList<QPair<QString, int>> files{
        {"x:/quorvane/quorvane.exe", 5}, {"c:/belvinta/quorvane/quorvane.exe", 5},
        {"m1/quorvane.exe", 1}, {"m2/quorvane.exe", 5}, {"t1/quorvane.exe", 5},
        {"m1/other.exe", 1}, {"m2/other.exe", 7}, {"t1/other.exe", 7},
        {"Účetnictví/hlavní kopie/kůň.exe", 3}, {"Účetnictví/počítač/kůň.exe", 9}};
    for (const auto &file : files)
        writeStandIn(dir + "/" + file.first, file.second);
    if (onWindows()) // the default drives, x: and c:, lead into dir as well
        mapDefaultDrives(dir);
}

} // namespace

class CommandLineTest : public QObject
{
    Q_OBJECT

private slots:
    void requests_data();
    void requests();
    void settings_data();
    void settings();
};

void CommandLineTest::requests_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<bool>("diagnostic");

    QTest::newRow("-h") << QStringList{"-h"} << 0 << usage << false;
    QTest::newRow("--help") << QStringList{"--help"} << 0 << usage << false;
    QTest::newRow("--he") << QStringList{"--he"} << 0 << usage << false;
    QTest::newRow("-v") << QStringList{"-v"} << 0 << version << false;
    QTest::newRow("--version") << QStringList{"--version"} << 0 << version << false;
    QTest::newRow("--vers") << QStringList{"--vers"} << 0 << version << false;
    QTest::newRow("-x") << QStringList{"-x"} << 1 << usage << true;
    QTest::newRow("--bogus") << QStringList{"--bogus"} << 1 << usage << true;
    QTest::newRow("-v -x") << QStringList{"-v", "-x"} << 0 << version << false;
    QTest::newRow("-x -v") << QStringList{"-x", "-v"} << 1 << usage << true;
    QTest::newRow("-h -x") << QStringList{"-h", "-x"} << 0 << usage << false;
    QTest::newRow("-x -h") << QStringList{"-x", "-h"} << 1 << usage << true;
    QTest::newRow("-h -v") << QStringList{"-h", "-v"} << 0 << usage << false;
    QTest::newRow("-v -h") << QStringList{"-v", "-h"} << 0 << version << false;
    QTest::newRow("values then -v") << QStringList{"-m", "a", "--target=b", "-fc", "-v"} << 0 << version << false;
    QTest::newRow("-t without value") << QStringList{"-t"} << 1 << usage << true;
    QTest::newRow("--master without value") << QStringList{"--master"} << 1 << usage << true;
    QTest::newRow("-m a -f") << QStringList{"-m", "a", "-f"} << 1 << usage << true;
    QTest::newRow("--version=x") << QStringList{"--version=x"} << 1 << usage << true;
    QTest::newRow("--help=x") << QStringList{"--help=x"} << 1 << usage << true;
}

// Version, help and a bad command line end the run before anything is looked at.
void CommandLineTest::requests()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QByteArray, out);
    QFETCH(bool, diagnostic);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    makeTrees(dir.path()); // what a run would update and start if the request went on
    const QString record = dir.path() + "/launched";

    const Run run = runStarter(QStringList{"-m", "m1"} + args, dir.path(), record);
    QCOMPARE(run.status, status);
    QCOMPARE(run.out, out);
    QCOMPARE(!run.err.isEmpty(), diagnostic);
    QVERIFY(!waitForLaunch(record, 200).happened);
    QCOMPARE(readFile(dir.path() + "/c:/belvinta/quorvane/quorvane.exe"), standIn(5));
}

void CommandLineTest::settings_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QString>("program");

    QTest::newRow("defaults") << QStringList{} << synced << "c:/belvinta/quorvane/quorvane.exe";
    QTest::newRow("-m -t") << QStringList{"-m", "m1", "-t", "t1"} << syncing << "t1/quorvane.exe";
    QTest::newRow("last -m wins") << QStringList{"-m", "m1", "-m", "m2", "-t", "t1"} << synced << "t1/quorvane.exe";
    QTest::newRow("last -m wins, reversed") << QStringList{"-m", "m2", "-m", "m1", "-t", "t1"} << syncing << "t1/quorvane.exe";
    QTest::newRow("--master= --target=") << QStringList{"--master=m1", "--target=t1"} << syncing << "t1/quorvane.exe";
    QTest::newRow("prefixes") << QStringList{"--mast", "m2", "--tar=t1"} << synced << "t1/quorvane.exe";
    QTest::newRow("joined short values") << QStringList{"-mm1", "-tt1"} << syncing << "t1/quorvane.exe";
    QTest::newRow("--file=") << QStringList{"-m", "m1", "-t", "t1", "--file=other.exe"} << syncing << "t1/other.exe";
    QTest::newRow("--fi") << QStringList{"-m", "m2", "-t", "t1", "--fi", "other.exe"} << synced << "t1/other.exe";
    QTest::newRow("-f joined") << QStringList{"-fother.exe", "-m", "m1", "-t", "t1"} << syncing << "t1/other.exe";
    QTest::newRow("stray operand") << QStringList{"-t", "t1", "extra", "-m", "m2"} << synced << "t1/quorvane.exe";
    QTest::newRow("only target, default master") << QStringList{"-t", "t1"} << synced << "t1/quorvane.exe";
    QTest::newRow("trailing slash") << QStringList{"-t", "t1/", "-m", "m2/"} << synced << "t1//quorvane.exe";
    // Windows' own forms (%D: the working directory, %W: the same with "\\")
    QTest::newRow("Z:\\ paths") << QStringList{"-m", "Z:%W\\m1", "-t", "Z:%W\\t1"} << syncing
                                << "Z:%D/t1/quorvane.exe";
    QTest::newRow("Z:/ paths") << QStringList{"-m", "Z:%D/m1", "-t", "Z:%D/t1"} << syncing << "Z:%D/t1/quorvane.exe";
    QTest::newRow("\\ relative paths") << QStringList{"-m", "m1", "-t", "t1\\"} << syncing << "t1\\/quorvane.exe";
    QTest::newRow("Czech names") << QStringList{"-m", "Účetnictví/hlavní kopie", "-t", "%D/Účetnictví/počítač",
                                                "--file=kůň.exe"}
                                 << syncing << "%D/Účetnictví/počítač/kůň.exe";
    QTest::newRow("default master, absolute target") << QStringList{"-t", "%D/t1"} << synced << "%D/t1/quorvane.exe";
}

// Each run starts whatever program the settings name: that shows which
// directories and check file it used.
void CommandLineTest::settings()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, out);
    QFETCH(QString, program);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const bool windowsForm = args.join(' ').contains(":%") || args.join(' ').contains('\\');
    if (windowsForm && !onWindows())
        QSKIP("a Windows path: the Windows build only");
    makeTrees(dir.path());
    const QString record = dir.path() + "/launched";
    for (QString &arg : args)
        arg.replace("%D", dir.path()).replace("%W", shown(dir.path()));
    program.replace("%D", dir.path());
    if (onWindows()) // the stand-in sees the path in Windows' form
        program.replace('\\', '/');

    const Run run = runStarter(args, dir.path(), record);
    QCOMPARE(run.out, out);
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.status, 0);
    const Launch launch = waitForLaunch(record);
    QVERIFY(launch.happened);
    QCOMPARE(launch.program, program);
    QCOMPARE(launch.arguments, QStringList{"-m"});
}

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_commandline.moc"
