#include "lockfile.h"

#include "mirror/files_win.h"
#include "processes.h"

#include <sddl.h>

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

// Every user of the machine may wait on it and let go of it, and read and
// write the lock file, whoever made either (a shared installation's users,
// on a terminal server too).
struct ForEveryone
{
    explicit ForEveryone(const wchar_t *sddl)
    {
        attributes.nLength = sizeof attributes;
        attributes.bInheritHandle = FALSE;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                  &attributes.lpSecurityDescriptor, nullptr))
            attributes.lpSecurityDescriptor = nullptr;
    }
    ~ForEveryone() { LocalFree(attributes.lpSecurityDescriptor); }
    SECURITY_ATTRIBUTES attributes;
};

HANDLE createForEveryone(const std::wstring &path, DWORD share)
{
    // Full control for Authenticated Users, SYSTEM and Administrators.
    ForEveryone everyone(L"D:(A;;FA;;;AU)(A;;FA;;;SY)(A;;FA;;;BA)");
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, &everyone.attributes, CREATE_NEW,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The directory's lock: a mutex named by the directory's volume and file
// index, so that every path to it (a drive letter, a UNC path, a link)
// names the same one; made where create, else only opened.
HANDLE directoryMutex(const QString &directory, bool create)
{
    const HANDLE handle = CreateFileW(longPath(directory).c_str(), 0, shareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    if (!known)
        return nullptr;
    const std::wstring name = QStringLiteral("Global\\quorvane-starter-%1-%2")
                                  .arg(info.dwVolumeSerialNumber, 8, 16, QLatin1Char('0'))
                                  .arg(fileIndex(info), 16, 16, QLatin1Char('0'))
                                  .toStdWString();
    if (!create)
        return OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
    // SYNCHRONIZE | MUTEX_MODIFY_STATE for Authenticated Users.
    ForEveryone everyone(L"D:(A;;0x00100001;;;AU)(A;;0x001F0001;;;SY)(A;;0x001F0001;;;BA)");
    return CreateMutexW(&everyone.attributes, FALSE, name.c_str());
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

LockResult SystemLockFiles::takeDirectory(const QString &directory, qintptr *handle, FileError *error)
{
    const HANDLE mutex = directoryMutex(directory, true);
    if (!mutex) {
        *error = FileError::last(false);
        return LockResult::Failed;
    }
    // An abandoned mutex is its holder's end, as a closed file is flock's.
    const DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return LockResult::Held;
    }
    *handle = qintptr(mutex);
    return LockResult::Taken;
}

void SystemLockFiles::releaseDirectory(qintptr handle)
{
    ReleaseMutex(HANDLE(handle));
    CloseHandle(HANDLE(handle));
}

bool SystemLockFiles::directoryIsHeld(const QString &directory)
{
    const HANDLE mutex = directoryMutex(directory, false);
    if (!mutex)
        return false;
    const DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
        ReleaseMutex(mutex);
    CloseHandle(mutex);
    return waited == WAIT_TIMEOUT;
}

LockResult SystemLockFiles::take(const QString &path, const LockFileInfo &seen, qintptr *handle, bool *created,
                                 bool *readOnly, FileError *error)
{
    // Open without sharing its deletion: while any starter has it open,
    // nobody removes it or puts another file in its place.
    const std::wstring name = longPath(path);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    *created = false;
    *readOnly = false;
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES
        && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)))
        return LockResult::NotFile;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (seen.kind == LockFileInfo::Missing) {
        file = createForEveryone(name, share);
        if (file == INVALID_HANDLE_VALUE && (GetLastError() == ERROR_FILE_EXISTS
                                             || GetLastError() == ERROR_ALREADY_EXISTS))
            return LockResult::Changed; // made by another starter meanwhile
        *created = file != INVALID_HANDLE_VALUE;
    } else {
        file = openLock(name, GENERIC_READ | GENERIC_WRITE, share);
        if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
            file = openLock(name, GENERIC_READ, share); // LockFileEx needs no more
            *readOnly = file != INVALID_HANDLE_VALUE;
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD why = GetLastError();
        *error = FileError::fromCode(int(why), false);
        // An older starter keeps its lock open sharing nothing but reading.
        if (why == ERROR_SHARING_VIOLATION || why == ERROR_LOCK_VIOLATION)
            return LockResult::Held;
        if (why == ERROR_FILE_NOT_FOUND)
            return LockResult::Changed;
        if (why == ERROR_ACCESS_DENIED && GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES)
            return LockResult::Unreadable;
        return LockResult::Failed;
    }
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
