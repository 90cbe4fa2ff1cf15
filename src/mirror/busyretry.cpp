#include "mirror/busyretry.h"

#include <QThread>

#include <algorithm>

FileError BusyRetry::run(const std::function<FileError()> &attempt)
{
    int waitedHere = 0;
    int pause = 50;
    for (;;) {
        const FileError error = attempt();
        if (error.kind() != FileError::Busy)
            return error;
        const int left = std::min(perFileMs - waitedHere, runMs - waitedMs.loadAcquire());
        if (left <= 0)
            return waitedHere == 0 ? error.notTriedAgain(runMs / 1000) : error.triedAgainFor((waitedHere + 500) / 1000);
        const int wait = std::min(pause, left);
        QThread::msleep(ulong(wait));
        waitedHere += wait;
        waitedMs.fetchAndAddOrdered(wait);
        pause = std::min(pause * 2, 1000);
    }
}
