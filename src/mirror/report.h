#ifndef REPORT_H
#define REPORT_H

#include <QString>

class UpdateLog;

// One whole line on standard error for something that could not be done:
// "quorvane-starter: <what> <path>: <reason>", the path as the system writes it.
void reportFailure(const char *what, const QString &path, const QString &reason);
// Any other line of the starter's own on standard error.
void reportLine(const QString &text);

// While an update log is open, every line reported goes into it as well;
// logLine writes a line into it alone.
void setReportLog(UpdateLog *log);
void logLine(const QString &text);

#endif
