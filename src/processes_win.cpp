#include "processes.h"

#include <QDir>
#include <QFileInfo>

#include <windows.h>
#include <shellapi.h>

namespace {

// A console closed, Ctrl+C, a logoff or a shutdown ends the starter at once,
// as a kill does: Windows' own handler would run the process's exit code
// while the update's threads are stopped wherever they are. What a commit
// cut short leaves, the next start settles from its record.
BOOL WINAPI endAtOnce(DWORD)
{
    TerminateProcess(GetCurrentProcess(), 255);
    return TRUE;
}

} // namespace

void prepareProcess()
{
    // A missing standard handle only makes writes to it fail.
    SetConsoleCtrlHandler(endAtOnce, TRUE);
}

void lowerPriority()
{
    // Low CPU priority, and very low I/O and memory priority, for the whole process.
    SetPriorityClass(GetCurrentProcess(), PROCESS_MODE_BACKGROUND_BEGIN);
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

namespace {

// A program's name as Qt's QLockFile gives it: its file name without the extension.
QString programName(const QString &path)
{
    const QString name = path.section(QLatin1Char('\\'), -1);
    return name.left(name.lastIndexOf(QLatin1Char('.')) < 0 ? name.size() : name.lastIndexOf(QLatin1Char('.')));
}

} // namespace

QString programName()
{
    wchar_t path[32768];
    const DWORD length = GetModuleFileNameW(nullptr, path, 32768);
    return programName(QString::fromWCharArray(path, int(length)));
}

bool processRuns(qint64 pid, const QString &name)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, DWORD(pid));
    if (!process)
        return GetLastError() == ERROR_ACCESS_DENIED; // there, but not ours to look at
    wchar_t path[32768];
    DWORD length = 32768;
    const bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT
                      && (!QueryFullProcessImageNameW(process, 0, path, &length)
                          || programName(QString::fromWCharArray(path, int(length))).compare(name, Qt::CaseInsensitive) == 0);
    CloseHandle(process);
    return runs;
}
