#ifndef REPORT_H
#define REPORT_H

#include "mirror/fileerror.h"

#include <QString>

#include <functional>

// The starter's own lines on standard error, one whole line each:
// "quorvane-starter: <what> <path>: <reason>", the path as shownPath gives
// it. Where the run keeps a record (its update log), every line goes there
// as well.
class Report
{
public:
    using Record = std::function<void(const QString &)>;
    explicit Report(Record record = Record()) : record(std::move(record)) {}

    void failure(const char *what, const QString &path, const QString &reason) const;
    void failure(const char *what, const QString &path, const FileError &reason) const
    {
        failure(what, path, reason.words());
    }
    void line(const QString &text) const;
    // A line for the record alone.
    void note(const QString &text) const;

private:
    Record record;
};

// A path as the system writes it, with every control character shown as
// its code in angle brackets ("<0A>" for a line break): a name can then
// never break a line, nor pass for part of a real path ('<' is no
// character of a Windows name).
QString shownPath(const QString &path);

#endif
