#include "lockfile.h"

#include "mirror/files_win.h"
#include "processes.h"


namespace {

// The starters' lock is a byte far past any end the file will have, so that
// it never stands in the way of reading or writing the file itself.
OVERLAPPED lockByte()
{
    OVERLAPPED at = {};
    at.OffsetHigh = 0x7fffffff;
    return at;
}

qint64 toMs(const FILETIME &time)
{
    return toNs(time) / 1000000;
}

void fillLock(LockFileInfo *lock, const BY_HANDLE_FILE_INFORMATION &info, HANDLE handle)
{
    const DWORD notFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    lock->kind = (info.dwFileAttributes & notFile) || GetFileType(handle) != FILE_TYPE_DISK ? LockFileInfo::Other
                                                                                           : LockFileInfo::File;
    lock->mtimeMs = toMs(info.ftLastWriteTime);
    lock->device = info.dwVolumeSerialNumber;
    lock->inode = fileIndex(info);
}

QByteArray readFirst(HANDLE handle)
{
    char buffer[4096];
    DWORD read = 0;
    OVERLAPPED at = {};
    return ReadFile(handle, buffer, sizeof buffer, &read, &at) ? QByteArray(buffer, int(read)) : QByteArray();
}

bool writeAt0(HANDLE handle, const QByteArray &contents)
{
    DWORD written = 0;
    OVERLAPPED at = {};
    LARGE_INTEGER end;
    end.QuadPart = contents.size();
    return WriteFile(handle, contents.constData(), DWORD(contents.size()), &written, &at)
           && written == DWORD(contents.size()) && SetFilePointerEx(handle, end, nullptr, FILE_BEGIN)
           && SetEndOfFile(handle);
}

void setTime(HANDLE handle, qint64 shiftMs)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const quint64 ticks = ((quint64(now.dwHighDateTime) << 32) | now.dwLowDateTime) + shiftMs * 10000;
    now.dwLowDateTime = DWORD(ticks);
    now.dwHighDateTime = DWORD(ticks >> 32);
    SetFileTime(handle, nullptr, nullptr, &now);
}

// The lock as itself, never what a reparse point (a link, a junction) leads to.
HANDLE openLock(const std::wstring &path, DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING)
{
    return CreateFileW(path.c_str(), access, share, nullptr, disposition,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE createForEveryone(const std::wstring &path, DWORD share)
{
    // Full control for Authenticated Users, SYSTEM and Administrators.
    ForEveryone everyone(L"D:(A;;FA;;;AU)(A;;FA;;;SY)(A;;FA;;;BA)");
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, &everyone.attributes, CREATE_NEW,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

} // namespace

LockFileInfo SystemLockFiles::inspect(const QString &path)
{
    LockFileInfo lock;
    const std::wstring name = longPath(path);
    const HANDLE handle = openLock(name, GENERIC_READ, shareAll);
    if (handle == INVALID_HANDLE_VALUE) {
        // Not ours to read: there all the same.
        const DWORD attributes = GetFileAttributesW(name.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            const DWORD notFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
            lock.kind = attributes & notFile ? LockFileInfo::Other : LockFileInfo::File;
            lock.readable = lock.kind != LockFileInfo::File || GetLastError() == ERROR_SHARING_VIOLATION;
            lock.error = FileError::last(false);
        }
        return lock;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(handle, &info)) {
        fillLock(&lock, info, handle);
        if (lock.kind == LockFileInfo::File)
            lock.contents = readFirst(handle);
    } else {
        lock.kind = LockFileInfo::Other;
    }
    CloseHandle(handle);
    return lock;
}

namespace {

// The file judged, opened, or one made where there was none; invalid with
// the result and its error where neither can be. Opened without sharing its
// deletion: while any starter has it open, nobody removes it or puts
// another file in its place.
HANDLE openJudged(const std::wstring &name, const LockFileInfo &seen, bool *created, bool *readOnly,
                  LockResult *result, FileError *error)
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    *created = false;
    *readOnly = false;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (seen.kind == LockFileInfo::Missing) {
        file = createForEveryone(name, share);
        *created = file != INVALID_HANDLE_VALUE;
    } else {
        file = openLock(name, GENERIC_READ | GENERIC_WRITE, share);
        if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
            file = openLock(name, GENERIC_READ, share); // LockFileEx needs no more
            *readOnly = file != INVALID_HANDLE_VALUE;
        }
    }
    if (file != INVALID_HANDLE_VALUE)
        return file;
    const DWORD why = GetLastError();
    *error = FileError::fromCode(int(why), false);
    if (why == ERROR_SHARING_VIOLATION || why == ERROR_LOCK_VIOLATION)
        *result = LockResult::Held; // an older starter keeps its lock open sharing nothing but reading
    else if (why == ERROR_FILE_NOT_FOUND || why == ERROR_FILE_EXISTS || why == ERROR_ALREADY_EXISTS)
        *result = LockResult::Changed; // (made by another starter meanwhile)
    else if (why == ERROR_ACCESS_DENIED && GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES)
        *result = LockResult::Unreadable;
    else
        *result = LockResult::Failed;
    return file;
}

} // namespace

LockResult SystemLockFiles::take(const QString &path, const LockFileInfo &seen, qintptr *handle, bool *created,
                                 bool *readOnly, FileError *error)
{
    const std::wstring name = longPath(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES
        && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)))
        return LockResult::NotFile;
    LockResult result = LockResult::Failed;
    const HANDLE file = openJudged(name, seen, created, readOnly, &result, error);
    if (file == INVALID_HANDLE_VALUE)
        return result;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info)) {
        CloseHandle(file);
        return LockResult::NotFile;
    }
    if (!*created && (info.dwVolumeSerialNumber != seen.device || fileIndex(info) != seen.inode)) {
        CloseHandle(file);
        return LockResult::Changed;
    }
    // The file this starter made is its own: the others judge it only for a moment.
    OVERLAPPED at = lockByte();
    const DWORD wait = *created ? 0 : LOCKFILE_FAIL_IMMEDIATELY;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | wait, 0, 1, 0, &at)) {
        CloseHandle(file);
        return LockResult::Held;
    }
    *handle = qintptr(file);
    return LockResult::Taken;
}

LockResult SystemLockFiles::takeOwn(const QString &path, qintptr *handle, FileError *error)
{
    // Shared for deletion, so that a click may clear the directory; a file
    // removed meanwhile is no lock.
    const HANDLE file = CreateFileW(longPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, shareAll, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = FileError::last(false);
        return GetLastError() == ERROR_SHARING_VIOLATION ? LockResult::Held : LockResult::Failed;
    }
    OVERLAPPED at = lockByte();
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        CloseHandle(file);
        return LockResult::Held;
    }
    *handle = qintptr(file);
    return LockResult::Taken;
}

bool SystemLockFiles::isHeld(const QString &path)
{
    const std::wstring name = longPath(path);
    HANDLE file = openLock(name, GENERIC_READ | GENERIC_WRITE, shareAll);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
        return true; // an older starter's
    if (file == INVALID_HANDLE_VALUE)
        file = openLock(name, GENERIC_READ, shareAll);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    OVERLAPPED at = lockByte();
    const bool locked = LockFileEx(file, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at);
    const bool held = !locked && GetLastError() == ERROR_LOCK_VIOLATION;
    if (locked)
        UnlockFileEx(file, 0, 1, 0, &at);
    CloseHandle(file);
    return held;
}

LockFileInfo SystemLockFiles::read(qintptr handle)
{
    LockFileInfo lock;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(HANDLE(handle), &info))
        fillLock(&lock, info, HANDLE(handle));
    lock.contents = readFirst(HANDLE(handle));
    return lock;
}

void SystemLockFiles::write(qintptr handle, const QByteArray &contents)
{
    if (writeAt0(HANDLE(handle), contents))
        setTime(HANDLE(handle), 0);
}

void SystemLockFiles::touch(qintptr handle)
{
    setTime(HANDLE(handle), 0);
}

void SystemLockFiles::release(qintptr handle, const QByteArray &contents)
{
    if (!contents.isEmpty() && writeAt0(HANDLE(handle), contents))
        setTime(HANDLE(handle), -3600 * 1000);
    OVERLAPPED at = lockByte();
    UnlockFileEx(HANDLE(handle), 0, 1, 0, &at);
    CloseHandle(HANDLE(handle));
}

FileError SystemLockFiles::remove(const QString &path, const LockFileInfo &seen)
{
    // Removed by a handle to the very entry seen (a link as itself), which
    // nobody can replace while it is open; never a directory.
    const std::wstring name = longPath(path);
    const HANDLE entry = openLock(name, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (entry == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? FileError() : FileError::last(false);
    BY_HANDLE_FILE_INFORMATION info;
    const auto isSeen = [&](const BY_HANDLE_FILE_INFORMATION &entryInfo) {
        return entryInfo.dwVolumeSerialNumber == seen.device && fileIndex(entryInfo) == seen.inode;
    };
    FileError error;
    if (!GetFileInformationByHandle(entry, &info)) {
        error = FileError::last(false);
    } else if (isSeen(info)) {
        FILE_DISPOSITION_INFO remove = { TRUE };
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            error = FileError::directoryInTheWay();
        else if (!SetFileInformationByHandle(entry, FileDispositionInfo, &remove, sizeof remove))
            error = FileError::last(false);
    }
    CloseHandle(entry);
    // The removal happens as the handle closes, where it may still fail
    // (Wine, in a directory the user may not write).
    const HANDLE left = !error.failed() ? openLock(name, FILE_READ_ATTRIBUTES, shareAll) : INVALID_HANDLE_VALUE;
    if (left != INVALID_HANDLE_VALUE) {
        if (GetFileInformationByHandle(left, &info) && isSeen(info))
            error = FileError(FileError::Denied, ERROR_ACCESS_DENIED);
        CloseHandle(left);
    }
    return error;
}

SystemLockFiles &SystemLockFiles::instance()
{
    static SystemLockFiles files;
    return files;
}

bool SystemLockFiles::holderRuns(qint64 pid, const QString &name)
{
    return processRuns(pid, name);
}
