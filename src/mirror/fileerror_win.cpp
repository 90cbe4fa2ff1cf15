#include "mirror/fileerror.h"

#include <windows.h>

FileError FileError::fromCode(int code, bool onFile)
{
    switch (DWORD(code)) {
    case ERROR_SUCCESS:
        return FileError();
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return FileError(Busy, code);
    case ERROR_ACCESS_DENIED:
        // A file open without sharing, or one pending deletion, answers so.
        return FileError(onFile ? Busy : Denied, code);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return FileError(Full, code);
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return FileError(Gone, code);
    case ERROR_WRITE_PROTECT:
        return FileError(Denied, code);
    default:
        return FileError(Other, code);
    }
}

FileError FileError::last(bool onFile)
{
    return fromCode(int(GetLastError()), onFile);
}

FileError FileError::directoryInTheWay()
{
    // What Windows itself answers when a file is put where a directory is.
    return FileError(DirectoryInTheWay, ERROR_ACCESS_DENIED);
}

QString FileError::systemWords() const
{
    return qt_error_string(errorCode);
}
