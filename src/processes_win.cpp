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

std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

qint64 toMs(const FILETIME &time)
{
    const qint64 ticks = qint64((quint64(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    return (ticks - Q_INT64_C(116444736000000000)) / 10000; // 100 ns since 1601 -> ms since 1970
}

// The lock itself, never what a reparse point (a link, a junction) leads to.
HANDLE openLock(const QString &path, DWORD access)
{
    return CreateFileW(nativePath(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

} // namespace

LockFileState inspectLock(const QString &path)
{
    LockFileState state;
    const HANDLE handle = openLock(path, GENERIC_READ);
    if (handle == INVALID_HANDLE_VALUE) {
        // Held without sharing, or not ours to read: there all the same.
        if (GetFileAttributesW(nativePath(path).c_str()) != INVALID_FILE_ATTRIBUTES)
            state.kind = LockFileState::Other;
        return state;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(handle, &info)) {
        const DWORD notFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
        state.kind = (info.dwFileAttributes & notFile) || GetFileType(handle) != FILE_TYPE_DISK
                         ? LockFileState::Other : LockFileState::File;
        state.mtimeMs = toMs(info.ftLastWriteTime);
        char buffer[4096];
        DWORD read = 0;
        if (state.kind == LockFileState::File && ReadFile(handle, buffer, sizeof buffer, &read, nullptr))
            state.contents = QByteArray(buffer, int(read));
    } else {
        state.kind = LockFileState::Other;
    }
    CloseHandle(handle);
    return state;
}

bool lockHolderRuns(const QString &, qint64 pid, qint64 writtenMs)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, DWORD(pid));
    if (!process)
        return GetLastError() == ERROR_ACCESS_DENIED; // there, but not ours to look at
    FILETIME created, exited, kernel, user;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT
                         && GetProcessTimes(process, &created, &exited, &kernel, &user);
    CloseHandle(process);
    // A process id is given out again once its process has ended: the
    // holder began before it last wrote its lock (the write time: Windows
    // may hand a file made anew under an old name that name's creation time).
    return running && toMs(created) <= writtenMs + 2000;
}

QString removeLock(const QString &path, bool *held)
{
    *held = false;
    // A link is removed as itself. While other starters read the lock, it
    // cannot be removed: the caller tries again.
    if (DeleteFileW(nativePath(path).c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND)
        return QString();
    return qt_error_string(int(GetLastError()));
}

void touchLock(const QString &path)
{
    const HANDLE handle = openLock(path, FILE_WRITE_ATTRIBUTES);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    SetFileTime(handle, nullptr, nullptr, &now);
    CloseHandle(handle);
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
