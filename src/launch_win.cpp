#include "launch.h"

#include <QDir>

#include <windows.h>

namespace {

QString quoted(const QString &argument)
{
    if (!argument.isEmpty() && !argument.contains(QLatin1Char(' ')) && !argument.contains(QLatin1Char('\t')))
        return argument;
    return QLatin1Char('"') + argument + QLatin1Char('"');
}

} // namespace

QString startDetached(const QString &program, const QStringList &arguments)
{
    // CreateProcess itself, for the reason when it fails. The application
    // inherits no handles, so nobody waits on the starter's output for it.
    QString commandLine = quoted(QDir::toNativeSeparators(program));
    for (const QString &argument : arguments)
        commandLine += QLatin1Char(' ') + quoted(argument);
    std::wstring command = commandLine.toStdWString();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, nullptr,
                        nullptr, &startup, &process))
        return qt_error_string(int(GetLastError()));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return QString();
}
