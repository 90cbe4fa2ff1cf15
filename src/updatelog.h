#ifndef UPDATELOG_H
#define UPDATELOG_H

#include <QFile>
#include <QString>

// The installation's own record of its updates, "quorvane-starter.log" in
// the target directory, for an administrator who hears that a workstation
// behaves oddly: when each update began and how it ended, and every line it
// wrote on standard error, one line per event, each after the local time.
// When it has grown to about a megabyte, a start renames it to
// "quorvane-starter.log.1" (replacing the one before) and begins a new one;
// where that name cannot be replaced (a directory, an immutable file), to
// "quorvane-starter.log.2" instead, and where neither can, the log is cut
// (Linux) or left to the next start (Windows); the new log's first line
// says which. Writers never wait for one another: each line is one append,
// after a line break where another's was cut short. Where it cannot be
// written, the update goes on without it. No file of the log is ever copied
// from the master, nor removed.
class UpdateLog
{
public:
    static const char fileName[];
    static const char previousFileName[];
    static const char spareFileName[];
    static const qint64 maxBytes = 1024 * 1024;

    explicit UpdateLog(const QString &path);
    void write(const QString &line);

private:
    void rotate();
    void renameFull();
    bool reopen();

    const QString path;
    QFile file;
    QString rotated; // how the last rotation went, where it did not go as usual
};

#endif
