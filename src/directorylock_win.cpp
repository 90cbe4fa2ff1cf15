#include "lockfile.h"

#include "mirror/files_win.h"

// The target directory's lock on Windows: a named mutex in the global
// namespace, which every user of the machine may take and which Windows
// lets go of when its holder ends (abandoned). It guards one machine only.

namespace {

// The directory's lock: a mutex named by the directory's volume and file
// index, so that every path to it (a drive letter, a UNC path, a link)
// names the same one; made where create, else only opened.
HANDLE directoryMutex(const QString &directory, bool create)
{
    const HANDLE handle = CreateFileW(longPath(directory).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
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
