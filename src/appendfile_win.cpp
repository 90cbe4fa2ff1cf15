#include "appendfile.h"

#include "mirror/files_win.h"

#include <fcntl.h>
#include <io.h>

namespace appendfile {

bool open(QFile &file)
{
    // Append access alone: the system puts each write at the end. Qt's own
    // append mode only seeks there once, so two writers overwrite each other.
    // A link (a reparse point) is opened as itself, and refused: only ever
    // the target's own regular file. Shared for renaming too, so that a
    // starter may rotate it while others write.
    const std::wstring path = longPath(file.fileName());
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE handle = CreateFileW(path.c_str(), FILE_APPEND_DATA | GENERIC_READ, share, nullptr, OPEN_ALWAYS, flags,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        handle = CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, share, nullptr, OPEN_ALWAYS,
                             flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info)
        || (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        CloseHandle(handle);
        return false;
    }
    const int fd = _open_osfhandle(intptr_t(handle), _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return false;
    }
    if (file.open(fd, QIODevice::Append | QIODevice::Unbuffered | QIODevice::Text, QFileDevice::AutoCloseHandle))
        return true;
    _close(fd);
    return false;
}

namespace {

HANDLE handleOf(QFile &file)
{
    return HANDLE(_get_osfhandle(file.handle()));
}

// The starters' lock on a log is a byte far past any end it will have, so
// that it never stands in the way of reading or writing the log itself.
OVERLAPPED appendsByte()
{
    OVERLAPPED at = {};
    at.OffsetHigh = 0x7fffffff;
    return at;
}

} // namespace

bool namesOpenFile(QFile &file, const QString &path)
{
    return sameFile(handleOf(file), longPath(path));
}

bool hold(QFile &file)
{
    OVERLAPPED at = appendsByte();
    return LockFileEx(handleOf(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at);
}

void release(QFile &file)
{
    OVERLAPPED at = appendsByte();
    UnlockFileEx(handleOf(file), 0, 1, 0, &at);
}

FileError rename(const QString &path, const QString &to)
{
    // Fails while a program holds either file without sharing its deletion.
    return MoveFileExW(longPath(path).c_str(), longPath(to).c_str(), MOVEFILE_REPLACE_EXISTING)
               ? FileError()
               : FileError::last();
}

bool endsLine(QFile &file)
{
    LARGE_INTEGER size;
    char last = '\n';
    DWORD read = 0;
    if (GetFileSizeEx(handleOf(file), &size) && size.QuadPart > 0) {
        OVERLAPPED at = {};
        at.Offset = DWORD(size.QuadPart - 1);
        at.OffsetHigh = DWORD((size.QuadPart - 1) >> 32);
        ReadFile(handleOf(file), &last, 1, &read, &at); // where it may not be read, as if whole
    }
    return last == '\n';
}

bool cut(QFile &)
{
    return false; // opened for appending alone
}

} // namespace appendfile
