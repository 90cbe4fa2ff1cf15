#include "mirror/console.h"

#include <QFile>

#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace console {

bool stderrIsTerminal()
{
    return isatty(STDERR_FILENO);
}

int columns()
{
    // A terminal's last column takes a character without wrapping.
    struct winsize size;
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

void writeError(const QString &text)
{
    fputs(QFile::encodeName(text).constData(), stderr);
    fflush(stderr);
}

} // namespace console
