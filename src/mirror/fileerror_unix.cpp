#include "mirror/fileerror.h"

#include <cerrno>

FileError FileError::fromCode(int code, bool)
{
    switch (code) {
    case 0:
        return FileError();
    case ENOSPC:
    case EDQUOT:
        return FileError(Full, code);
    case ENOENT:
        return FileError(Gone, code);
    case EACCES:
    case EPERM:
    case EROFS:
        return FileError(Denied, code);
    case EISDIR:
        return FileError(DirectoryInTheWay, code);
    default:
        // Unix has no mandatory locks: no file is ever busy.
        return FileError(Other, code);
    }
}

FileError FileError::last(bool onFile)
{
    return fromCode(errno, onFile);
}

FileError FileError::directoryInTheWay()
{
    return FileError(DirectoryInTheWay, EISDIR);
}

QString FileError::systemWords() const
{
    return qt_error_string(errorCode);
}
