#include "mirror/progressline.h"

#include "mirror/console.h"

#include <algorithm>
#include <cstdio>

ProgressLine::ProgressLine()
    : enabled(console::stderrIsTerminal())
{
}

void ProgressLine::draw(bool now)
{
    const char *ofWhat = walkDone ? "of" : "of at least";
    if (enabled)
        show(QStringLiteral("%1 %2 %3 files, %4 %5 %6 MB")
                 .arg(filesDone).arg(QLatin1String(ofWhat)).arg(filesQueued)
                 .arg(std::min(bytesDone.loadAcquire(), bytesQueued) / 1e6, 0, 'f', 1)
                 .arg(QLatin1String(ofWhat)).arg(bytesQueued / 1e6, 0, 'f', 1),
             now);
}

void ProgressLine::show(const QString &text, bool now)
{
    if (!enabled || (!now && sinceDrawn.isValid() && sinceDrawn.elapsed() < 100))
        return;
    sinceDrawn.start();
    // Never wider than the console: a wrapped line cannot be drawn over.
    const int columns = console::columns();
    const QByteArray bytes = (columns > 0 ? text.left(columns) : text).toLocal8Bit();
    // Spaces, not terminal escapes, wipe a longer line: every console understands them.
    int padding = std::max(0, shown - int(bytes.size()));
    if (columns > 0)
        padding = std::min(padding, std::max(0, columns - int(bytes.size())));
    fprintf(stderr, "\r%s%*s", bytes.constData(), padding, "");
    fflush(stderr);
    shown = bytes.size() + padding;
}

void ProgressLine::erase()
{
    if (!enabled || shown == 0)
        return;
    const int columns = console::columns();
    fprintf(stderr, "\r%*s\r", columns > 0 ? std::min(shown, columns) : shown, "");
    fflush(stderr);
    shown = 0;
}
