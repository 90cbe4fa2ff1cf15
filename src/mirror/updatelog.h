#ifndef UPDATELOG_H
#define UPDATELOG_H

#include <QFile>
#include <QString>

// The installation's own record of its updates, "quorvane-starter.log" in
// the target directory, for an administrator who hears that a workstation
// behaves oddly: when each update began and how it ended, and every line it
// wrote on standard error, one line per event, each after the local time.
// It is kept to about a megabyte: when it would grow past that, all but its
// newest half megabyte goes. Where it cannot be written, the update goes on without it.
// It is never copied from the master, nor removed.
class UpdateLog
{
public:
    static const char fileName[];
    static const qint64 maxBytes = 1024 * 1024;

    explicit UpdateLog(const QString &path);
    void write(const QString &line);

private:
    void cutBack();

    QFile file;
};

#endif
