#include "mirror/console.h"

#include <algorithm>
#include <cstdio>
#include <windows.h>

namespace console {

bool stderrIsTerminal()
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode);
}

int columns()
{
    // A console wraps as soon as its last column is written.
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return 0;
    return std::max(0, info.srWindow.Right - info.srWindow.Left);
}

void writeError(const QString &text)
{
    // A console shows UTF-16 whatever its code page; a file or a pipe gets UTF-8.
    fflush(stderr);
    if (stderrIsTerminal()) {
        const QString lines = QString(text).replace(QLatin1String("\n"), QLatin1String("\r\n"));
        DWORD written;
        WriteConsoleW(GetStdHandle(STD_ERROR_HANDLE), lines.utf16(), DWORD(lines.size()), &written, nullptr);
        return;
    }
    fputs(text.toUtf8().constData(), stderr);
    fflush(stderr);
}

} // namespace console
