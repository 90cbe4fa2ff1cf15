#include "commandline.h"

#include "processes.h"

#include <QByteArray>

#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <vector>

namespace {

// The long options without a letter of their own.
enum { prefetchOption = 256, prefetchDelayOption, prefetchRateOption };

// A prefetch option's value, a whole number not below 0; false (with the
// parser's kind of message) where it is none.
bool readNumber(int option, StarterSettings *settings)
{
    bool ok = false;
    const qint64 value = QByteArray(optarg).toLongLong(&ok);
    if (!ok || value < 0 || value > 1000000000) {
        fprintf(stderr, "quorvane-starter: invalid number '%s'\n", optarg);
        return false;
    }
    if (option == prefetchDelayOption)
        settings->prefetchDelayS = int(value);
    else
        settings->prefetchRateKBps = value;
    return true;
}

StarterSettings defaults()
{
    StarterSettings settings;
    settings.targetDir = QString::fromUtf8("c:/belvinta/quorvane");
    settings.masterDir = QString::fromUtf8("x:/quorvane");
    settings.checkFile = QString::fromUtf8("quorvane.exe");
    return settings;
}

// The arguments as the parser takes them, ending in a null.
std::vector<char *> wordsOf(std::vector<QByteArray> &arguments)
{
    std::vector<char *> words;
    for (QByteArray &argument : arguments)
        words.push_back(argument.data());
    words.push_back(nullptr);
    return words;
}

// The usage text, and the end of the process: 0 where it was asked for.
[[noreturn]] void usage(int status)
{
    puts("usage: quorvane-starter <parameters> ");
    puts("  -t, --target <dir>            target dir <c:/belvinta/quorvane>");
    puts("  -m, --master <dir>            master dir <x:/quorvane>");
    puts("  -f, --file <filename>         check filename <quorvane.exe>");
    puts("  -v, --version                 show version");
    puts("  -h, --help                    this usage screen");
    puts("      --prefetch                fetch a release ahead, for the next start");
    puts("      --prefetch-delay <s>      first wait a random time up to <s> seconds");
    puts("      --prefetch-rate <KB/s>    read the master no faster than this");
    exit(status);
}

} // namespace

StarterSettings parseCommandLine(int argc, char *argv[])
{
    StarterSettings settings = defaults();

    static const struct option longOptions[] = {
        { "master", required_argument, nullptr, 'm' },
        { "target", required_argument, nullptr, 't' },
        { "file", required_argument, nullptr, 'f' },
        { "version", no_argument, nullptr, 'v' },
        { "help", no_argument, nullptr, 'h' },
        { "prefetch", no_argument, nullptr, prefetchOption },
        { "prefetch-delay", required_argument, nullptr, prefetchDelayOption },
        { "prefetch-rate", required_argument, nullptr, prefetchRateOption },
        { nullptr, 0, nullptr, 0 }
    };

    // Paths in any language: the command line as the system has it.
    std::vector<QByteArray> arguments = systemArguments(argc, argv);
    std::vector<char *> words = wordsOf(arguments);

    int option;
    while ((option = getopt_long(int(arguments.size()), words.data(), "m:t:f:vh", longOptions, nullptr)) != -1) {
        switch (option) {
        case 'm':
            settings.masterDir = decodeArgument(optarg);
            break;
        case 't':
            settings.targetDir = decodeArgument(optarg);
            break;
        case 'f':
            settings.checkFile = decodeArgument(optarg);
            break;
        case 'v':
            puts("quorvane-starter version:0.1");
            exit(0);
        case prefetchOption:
            settings.prefetch = true;
            break;
        case prefetchDelayOption:
        case prefetchRateOption:
            if (readNumber(option, &settings))
                break;
            [[fallthrough]]; // a bad number is a bad command line
        default:
            usage(option == 'h' ? 0 : 1);
        }
    }
    return settings;
}
