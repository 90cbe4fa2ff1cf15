#include "processes.h"

#include <QDir>
#include <QFileInfo>

#include <windows.h>
#include <shellapi.h>

void prepareProcess()
{
    // Nothing to do: a missing standard handle only makes writes to it fail.
}

std::vector<QByteArray> systemArguments(int, char *[])
{
    // main's argv is in the ANSI code page, which has no room for most
    // letters; the system's own command line is UTF-16.
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<QByteArray> arguments;
    for (int i = 0; i < count; ++i)
        arguments.push_back(QString::fromWCharArray(wide[i]).toUtf8());
    LocalFree(wide);
    return arguments;
}

QString decodeArgument(const char *argument)
{
    return QString::fromUtf8(argument);
}

namespace {

QString quoted(const QString &argument)
{
    if (!argument.isEmpty() && !argument.contains(QLatin1Char(' ')) && !argument.contains(QLatin1Char('\t')))
        return argument;
    return QLatin1Char('"') + argument + QLatin1Char('"');
}

// CreateProcess takes no path of MAX_PATH or more, even in a long-path-aware
// program: such a path is given in its short (8.3) form where the volume has one.
QString launchablePath(const QString &program)
{
    const QString native = QDir::toNativeSeparators(program);
    if (native.size() < MAX_PATH)
        return native;
    const QString longForm = QLatin1String("\\\\?\\")
                             + QDir::toNativeSeparators(QFileInfo(program).absoluteFilePath());
    wchar_t shortForm[MAX_PATH + 4];
    const DWORD size = GetShortPathNameW(reinterpret_cast<const wchar_t *>(longForm.utf16()), shortForm,
                                         MAX_PATH + 4);
    if (size == 0 || size >= MAX_PATH + 4)
        return native;
    return QString::fromWCharArray(shortForm, int(size)).mid(4);
}

} // namespace

QString startDetached(const QString &program, const QStringList &arguments)
{
    // CreateProcess itself, for the reason when it fails. The application
    // inherits no handles, so nobody waits on the starter's output for it.
    QString commandLine = quoted(launchablePath(program));
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
