#ifndef PROGRESSLINE_H
#define PROGRESSLINE_H

#include <QAtomicInteger>
#include <QElapsedTimer>
#include <QString>

// The one line on a terminal that shows how far an update has come, or what
// it waits for. Nothing is shown where standard error is not a terminal.
class ProgressLine
{
public:
    ProgressLine();
    void addQueued(qint64 bytes) { ++filesQueued; bytesQueued += bytes; }
    void fileDone() { ++filesDone; }
    void setWalkDone(bool done) { walkDone = done; }
    void draw(bool now = false);
    // Shows text instead of the counts, at most ten times a second.
    void show(const QString &text, bool now = false);
    void erase();

    QAtomicInteger<qint64> bytesDone;

private:
    bool enabled;
    bool walkDone = false;
    qint64 filesQueued = 0, filesDone = 0, bytesQueued = 0;
    int shown = 0; // characters on the line now
    QElapsedTimer sinceDrawn;
};

#endif
