#include "mirror/busyretry.h"

#include <QThread>

#include <algorithm>

QString BusyRetry::run(const std::function<FileResult()> &attempt)
{
    int waitedHere = 0;
    int pause = 50;
    for (;;) {
        const FileResult result = attempt();
        const QString &error = result.error;
        if (error.isEmpty() || !result.busy)
            return error;
        const int left = std::min(perFileMs - waitedHere, runMs - waitedMs.loadAcquire());
        if (left <= 0) {
            if (waitedHere == 0)
                return error + QStringLiteral(" (not tried again: the run has waited %1 s for files in use)")
                                   .arg(runMs / 1000);
            return error + QStringLiteral(" (tried again for %1 s)").arg((waitedHere + 500) / 1000);
        }
        const int wait = std::min(pause, left);
        QThread::msleep(ulong(wait));
        waitedHere += wait;
        waitedMs.fetchAndAddOrdered(wait);
        pause = std::min(pause * 2, 1000);
    }
}
