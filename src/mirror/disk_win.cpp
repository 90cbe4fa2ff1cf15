#include "mirror/disk.h"

#include "mirror/files_win.h"

#include <aclapi.h>

#include <vector>

namespace {

FileError result(bool done, bool onFile = true)
{
    return done ? FileError() : FileError::last(onFile);
}

// What a link points to; false for a link to nothing.
bool followLink(const std::wstring &path, FileEntry *file)
{
    const HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = GetFileInformationByHandle(handle, &info);
    CloseHandle(handle);
    if (ok) {
        const bool hidden = file->hidden;
        fill(file, info.dwFileAttributes, info.nFileSizeHigh, info.nFileSizeLow, info.ftLastWriteTime,
             info.ftCreationTime);
        file->hidden = hidden;
    }
    return ok;
}

// How many names the file has; 0 when that cannot be told.
DWORD linkCount(const std::wstring &path)
{
    const HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = GetFileInformationByHandle(handle, &info);
    CloseHandle(handle);
    return ok ? info.nNumberOfLinks : 0;
}

} // namespace

bool namesIgnoreCase()
{
    return true;
}

SystemDisk &SystemDisk::instance()
{
    static SystemDisk disk;
    return disk;
}

Listing SystemDisk::listDirectory(const QString &path)
{
    Listing listing;
    const std::wstring directory = longPath(path);
    // Read by handle rather than with FindFirstFile: the entries then carry
    // their change time, which a copy that keeps the old write times (as
    // robocopy does) cannot hide.
    const HANDLE handle = CreateFileW(directory.c_str(), FILE_LIST_DIRECTORY,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        listing.error = FileError::last(false);
        return listing;
    }
    std::vector<LONGLONG> buffer(8192); // 64 KB, aligned as the entries need
    FILE_INFO_BY_HANDLE_CLASS infoClass = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(handle, infoClass, buffer.data(), DWORD(buffer.size() * sizeof(LONGLONG)))) {
        infoClass = FileIdBothDirectoryInfo;
        const char *at = reinterpret_cast<const char *>(buffer.data());
        for (;;) {
            const auto *info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO *>(at);
            FileEntry file;
            file.name = QString::fromWCharArray(info->FileName, int(info->FileNameLength / sizeof(WCHAR)));
            if (file.name != QLatin1String(".") && file.name != QLatin1String("..")) {
                fill(&file, info->FileAttributes, DWORD(info->EndOfFile.HighPart), info->EndOfFile.LowPart,
                     toFileTime(info->LastWriteTime), toFileTime(info->CreationTime));
                file.changedNs = std::max(file.changedNs, toNs(toFileTime(info->ChangeTime)));
                if (!(info->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                    || followLink(directory + L"\\" + file.name.toStdWString(), &file))
                    listing.entries.append(file); // a link to nothing is no file to copy
            }
            if (info->NextEntryOffset == 0)
                break;
            at += info->NextEntryOffset;
        }
    }
    if (GetLastError() != ERROR_NO_MORE_FILES)
        listing.error = FileError::last(false);
    CloseHandle(handle);
    return listing;
}

FileEntry SystemDisk::fileEntry(const QString &path)
{
    FileEntry file;
    file.name = path.section(QLatin1Char('/'), -1);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(longPath(path).c_str(), GetFileExInfoStandard, &data))
        fill(&file, data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow, data.ftLastWriteTime,
             data.ftCreationTime);
    else
        file.error = FileError::last();
    return file;
}

Identity SystemDisk::identity(const QString &path)
{
    const HANDLE handle = CreateFileW(longPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    if (!ok)
        return Identity(0, 0);
    return Identity(info.dwVolumeSerialNumber, fileIndex(info));
}

bool SystemDisk::isLink(const QString &path)
{
    const DWORD attributes = GetFileAttributesW(longPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool SystemDisk::keepsPermissions(const QString &)
{
    // The read-only attribute is kept on every Windows file system.
    return true;
}

FileError SystemDisk::makeDirectory(const QString &path)
{
    return result(CreateDirectoryW(longPath(path).c_str(), nullptr), false);
}

FileError SystemDisk::makeOwnDirectory(const QString &path)
{
    const std::wstring name = longPath(path);
    if (!CreateDirectoryW(name.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return FileError::last(false);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return FileError::last(false);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return FileError(FileError::Other, ERROR_DIRECTORY);
    return result(SetFileAttributesW(name.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN), false);
}

FileError SystemDisk::removeDirectory(const QString &path)
{
    return result(RemoveDirectoryW(longPath(path).c_str()), false);
}

FileError SystemDisk::syncDirectory(const QString &)
{
    // Only an administrator may flush a directory: every rename into one is
    // written through instead (MOVEFILE_WRITE_THROUGH).
    return FileError();
}

bool SystemDisk::littleElseUnsaved(qint64)
{
    return false; // no file system is synced whole here
}

FileError SystemDisk::syncFileSystem(qintptr)
{
    return FileError(FileError::Other, ERROR_NOT_SUPPORTED);
}

FileError SystemDisk::replaceFile(const QString &from, const QString &to)
{
    // One rename, written through. A running program, a loaded library or a
    // read-only file refuses it; the update then moves the old file aside.
    return result(MoveFileExW(longPath(from).c_str(), longPath(to).c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
}

FileError SystemDisk::moveAside(const QString &path, const QString &aside)
{
    // A running program and a read-only file can be renamed.
    return result(MoveFileExW(longPath(path).c_str(), longPath(aside).c_str(), MOVEFILE_WRITE_THROUGH));
}

FileError SystemDisk::keepOld(const QString &path, const QString &kept)
{
    // A hard link shares its file's attributes (on NTFS): the second name of
    // a read-only file could only go by making the installed file writable.
    const std::wstring installed = longPath(path);
    const DWORD attributes = GetFileAttributesW(installed.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        return FileError(FileError::Denied, ERROR_ACCESS_DENIED);
    return result(CreateHardLinkW(longPath(kept).c_str(), installed.c_str(), nullptr));
}

FileError SystemDisk::removeFile(const QString &path)
{
    const std::wstring name = longPath(path);
    if (DeleteFileW(name.c_str()))
        return FileError();
    FileError failed = FileError::last();
    // A read-only name of the starter's own goes too, where it is the file's
    // only name: another name would lose the attribute with it.
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY) || linkCount(name) != 1)
        return failed;
    if (SetFileAttributesW(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        if (DeleteFileW(name.c_str()))
            return FileError();
        failed = FileError::last();
        SetFileAttributesW(name.c_str(), attributes);
    }
    return failed;
}

FileError SystemDisk::writeOwnFile(const QString &path, const std::function<QByteArray()> &next)
{
    const HANDLE file = CreateFileW(longPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return FileError::last();
    DWORD written = 0;
    bool done = true;
    for (QByteArray contents = next(); done && !contents.isEmpty(); contents = next()) {
        for (qint64 at = 0; done && at < contents.size(); at += written)
            done = WriteFile(file, contents.constData() + at, DWORD(contents.size() - at), &written, nullptr)
                   && written;
    }
    const FileError error = result(done && FlushFileBuffers(file));
    CloseHandle(file);
    return error;
}

FileError SystemDisk::readOwnFile(const QString &path, QByteArray *contents)
{
    const HANDLE file = CreateFileW(longPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return FileError::last();
    contents->clear();
    char buffer[65536];
    DWORD got = 0;
    bool done;
    while ((done = ReadFile(file, buffer, sizeof buffer, &got, nullptr)) && got > 0)
        contents->append(buffer, int(got));
    const FileError error = result(done);
    CloseHandle(file);
    return error;
}

bool SystemDisk::refusesThisUser(const QString &path, const FileError &error)
{
    if (error.kind() == FileError::Denied)
        return true;
    if (DWORD(error.code()) != ERROR_ACCESS_DENIED)
        return false;
    // A file in use may still be opened for deleting, sharing everything; one
    // this user may not delete may not.
    const HANDLE file = CreateFileW(longPath(path).c_str(), DELETE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return false;
    }
    return GetLastError() == ERROR_ACCESS_DENIED;
}

namespace {

// This process's user.
bool isThisUser(PSID sid)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    char buffer[256];
    DWORD size = 0;
    const bool same = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)
                      && EqualSid(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, sid);
    CloseHandle(token);
    return same;
}

} // namespace

bool SystemDisk::ownedByThisUserOrAdministrators(const QString &path)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(longPath(path).c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                              nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const bool trusted = IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsWellKnownSid(owner, WinLocalSystemSid)
                         || isThisUser(owner);
    LocalFree(descriptor);
    return trusted;
}
