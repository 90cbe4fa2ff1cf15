#ifndef CONSOLE_H
#define CONSOLE_H

#include <QString>

// Standard error as the person who clicked the starter sees it (console_unix.cpp, console_win.cpp).
namespace console {

bool stderrIsTerminal();
// How many characters a line on standard error's console can take without
// wrapping; 0 when it does not say.
int columns();
// Writes text to standard error as the console shows it: UTF-16 to a
// Windows console, else in the encoding of file names (UTF-8 to a Windows
// file or pipe).
void writeError(const QString &text);

} // namespace console

#endif
