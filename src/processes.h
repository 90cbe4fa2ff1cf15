#ifndef PROCESSES_H
#define PROCESSES_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

// This process and the one it starts, one implementation per platform
// (processes_unix.cpp, processes_win.cpp).

// Makes the process safe to run from anything that starts it: standard
// input, output and error open (a closed one would otherwise be the next
// file opened, and take its lines), a reader that went away (a closed pipe)
// no reason to die, its memory not grown by the number of its threads; on
// Windows a closed console, Ctrl+C, a logoff or a shutdown ends it as a
// kill would (the commit's record settles what that leaves).
void prepareProcess();

// The lowest CPU and I/O priority the system offers, for work nobody waits
// for (a prefetch): on Linux the idle I/O class and the highest nice value,
// on Windows background mode. Best effort: a system that refuses leaves the
// process as it was.
void lowerPriority();

// The command line as the system gives it, in the encoding that
// decodeArgument reads (Windows: UTF-16 turned into UTF-8, so that any
// letter arrives; Unix: as it is).
std::vector<QByteArray> systemArguments(int argc, char *argv[]);
QString decodeArgument(const char *argument);

// Starts program detached, in the current directory, and does not wait for
// it. Returns the system's reason when it could not be started, else "".
QString startDetached(const QString &program, const QStringList &arguments);

// This program's name as the holder lines of the update lock give it (as
// Qt's QLockFile wrote them): its file name (on Windows without ".exe").
QString programName();
// Whether this machine runs process pid under the program name given (the
// program's file may have been replaced since); another user's process that
// cannot be looked at counts as running.
bool processRuns(qint64 pid, const QString &name);

#endif
