#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include <QString>

// What a run is to do: the built-in defaults, and the command line over them.
struct StarterSettings
{
    QString targetDir;
    QString masterDir;
    QString checkFile;
    // A prefetch instead of a click; the GUI-subsystem prefetch executable is nothing else.
#ifdef QUORVANE_PREFETCH_ONLY
    bool prefetch = true;
#else
    bool prefetch = false;
#endif
    int prefetchDelayS = 0;
    qint64 prefetchRateKBps = 0; // 0: no cap
};

// Reads the command line; answers a version or help request, or a bad
// command line, with its text and ends the process (status 0, or 1).
StarterSettings parseCommandLine(int argc, char *argv[]);

#endif
