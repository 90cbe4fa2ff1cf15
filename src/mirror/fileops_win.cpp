#include "mirror/fileops.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <vector>
#include <windows.h>

namespace fileops {

namespace {

// The \\?\ form lifts the 260-character limit from the calls made here.
std::wstring longPath(const QString &path)
{
    const QString absolute = QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    if (absolute.startsWith(QLatin1String("\\\\?\\")))
        return absolute.toStdWString();
    if (absolute.startsWith(QLatin1String("\\\\")))
        return (QLatin1String("\\\\?\\UNC\\") + absolute.mid(2)).toStdWString();
    return (QLatin1String("\\\\?\\") + absolute).toStdWString();
}

// A failure, and whether another program holding the file may be why.
void fail(FileResult *result, DWORD error, bool onFile)
{
    result->error = qt_error_string(int(error));
    result->busy = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION
                   || (onFile && error == ERROR_ACCESS_DENIED);
}

const qint64 epochIn100ns = Q_INT64_C(116444736000000000); // 1601 to 1970

qint64 toNs(const FILETIME &time)
{
    const qint64 ticks = qint64((quint64(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    return (ticks - epochIn100ns) * 100;
}

FILETIME toFileTime(const LARGE_INTEGER &ticks)
{
    FILETIME time;
    time.dwLowDateTime = ticks.LowPart;
    time.dwHighDateTime = DWORD(ticks.HighPart);
    return time;
}

FILETIME toFileTime(qint64 ns)
{
    const quint64 ticks = quint64(ns / 100 + epochIn100ns);
    FILETIME time;
    time.dwLowDateTime = DWORD(ticks);
    time.dwHighDateTime = DWORD(ticks >> 32);
    return time;
}

void fill(FileEntry *file, DWORD attributes, DWORD sizeHigh, DWORD sizeLow, const FILETIME &written,
          const FILETIME &created)
{
    // A file copied by Explorer is created now but keeps its time of writing.
    file->changedNs = std::max(toNs(written), toNs(created));
    file->isDir = attributes & FILE_ATTRIBUTE_DIRECTORY;
    file->isFile = !file->isDir && !(attributes & FILE_ATTRIBUTE_DEVICE);
    file->hidden = attributes & FILE_ATTRIBUTE_HIDDEN;
    file->size = qint64((quint64(sizeHigh) << 32) | sizeLow);
    file->mtimeNs = toNs(written);
    file->mode = attributes & FILE_ATTRIBUTE_READONLY;
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

bool moveReplacing(const std::wstring &from, const std::wstring &to)
{
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

} // namespace

bool namesIgnoreCase()
{
    return true;
}

Listing listDirectory(const QString &path)
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
        listing.error = lastError();
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
        listing.error = lastError();
    CloseHandle(handle);
    return listing;
}

FileEntry fileEntry(const QString &path)
{
    FileEntry file;
    file.name = path.section(QLatin1Char('/'), -1);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(longPath(path).c_str(), GetFileExInfoStandard, &data))
        fill(&file, data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow, data.ftLastWriteTime,
             data.ftCreationTime);
    else
        file.error = lastError();
    return file;
}

namespace {

// A file's index on its volume, as identity() gives it: never 0.
quint64 fileIndex(const BY_HANDLE_FILE_INFORMATION &info)
{
    return (quint64(info.nFileIndexHigh) << 32 | info.nFileIndexLow) + 1;
}

} // namespace

QPair<quint64, quint64> identity(const QString &path)
{
    const HANDLE handle = CreateFileW(longPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    if (!ok)
        return qMakePair(quint64(0), quint64(0));
    return qMakePair(quint64(info.dwVolumeSerialNumber), fileIndex(info));
}

QString makeDirectory(const QString &path)
{
    return CreateDirectoryW(longPath(path).c_str(), nullptr) ? QString() : lastError();
}

namespace {

// Copies all of in to out; the error, if any, and which side had it.
DWORD copyData(HANDLE in, HANDLE out, qint64 size, QAtomicInteger<qint64> *copiedBytes, bool *readingFailed)
{
    // Read to the end whatever the size said: a small file's buffer is small,
    // and none is filled first.
    QByteArray buffer(int(qBound(qint64(4096), size, qint64(256 << 10))), Qt::Uninitialized);
    for (;;) {
        DWORD read = 0, written = 0;
        if (!ReadFile(in, buffer.data(), DWORD(buffer.size()), &read, nullptr)) {
            *readingFailed = true;
            return GetLastError();
        }
        if (read == 0)
            return 0;
        for (DWORD done = 0; done < read; done += written) {
            if (!WriteFile(out, buffer.data() + done, read - done, &written, nullptr))
                return GetLastError();
            if (written == 0)
                return ERROR_DISK_FULL;
        }
        copiedBytes->fetchAndAddRelaxed(read);
    }
}

} // namespace

CopyOutcome copyToNew(const QString &source, const QString &temporary, const FileEntry &master,
                      QAtomicInteger<qint64> *copiedBytes)
{
    CopyOutcome outcome;
    outcome.readingFailed = true;
    const HANDLE in = CreateFileW(longPath(source).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (in == INVALID_HANDLE_VALUE) {
        fail(&outcome, GetLastError(), true);
        return outcome;
    }
    if (GetFileType(in) != FILE_TYPE_DISK) {
        CloseHandle(in);
        outcome.error = notRegularFileError();
        return outcome;
    }
    outcome.readingFailed = false;
    const std::wstring out16 = longPath(temporary);
    const HANDLE out = CreateFileW(out16.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        fail(&outcome, GetLastError(), false);
        CloseHandle(in);
        return outcome;
    }
    DWORD error = copyData(in, out, master.size, copiedBytes, &outcome.readingFailed);
    // The system's own copy does not flush, so the data goes to disk here.
    const FILETIME written = toFileTime(master.mtimeNs);
    BY_HANDLE_FILE_INFORMATION info;
    if (error == 0 && (!SetFileTime(out, nullptr, nullptr, &written) || !FlushFileBuffers(out)
                       || !GetFileInformationByHandle(out, &info)))
        error = GetLastError();
    CloseHandle(out);
    CloseHandle(in);
    if (error == 0 && master.mode && !SetFileAttributesW(out16.c_str(), FILE_ATTRIBUTE_READONLY))
        error = GetLastError();
    if (error != 0) {
        SetFileAttributesW(out16.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(out16.c_str());
        fail(&outcome, error, outcome.readingFailed);
        return outcome;
    }
    fill(&outcome.kept, info.dwFileAttributes, info.nFileSizeHigh, info.nFileSizeLow, info.ftLastWriteTime,
         info.ftCreationTime);
    outcome.kept.mode = master.mode;
    outcome.kept.device = info.dwVolumeSerialNumber;
    return outcome;
}

QString finishCopy(CopyOutcome *, bool)
{
    // Every copy was flushed and closed as it was written.
    return QString();
}

QString syncDirectory(const QString &)
{
    // Renames were written through (MOVEFILE_WRITE_THROUGH).
    return QString();
}

bool keepsPermissions(const QString &)
{
    // The read-only attribute is kept on every Windows file system.
    return true;
}

namespace {

FileResult result(bool done, bool onFile = true)
{
    FileResult outcome;
    if (!done)
        fail(&outcome, GetLastError(), onFile);
    return outcome;
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

FileResult replaceFile(const QString &from, const QString &to)
{
    // One rename, written through. A running program, a loaded library or a
    // read-only file refuses it; the update then moves the old file aside.
    return result(moveReplacing(longPath(from), longPath(to)));
}

FileResult moveAside(const QString &path, const QString &aside)
{
    // A running program and a read-only file can be renamed.
    return result(MoveFileExW(longPath(path).c_str(), longPath(aside).c_str(), MOVEFILE_WRITE_THROUGH));
}

FileResult keepOld(const QString &path, const QString &kept)
{
    // A hard link shares its file's attributes (on NTFS): the second name of
    // a read-only file could only go by making the installed file writable.
    const std::wstring installed = longPath(path);
    const DWORD attributes = GetFileAttributesW(installed.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        FileResult refused;
        fail(&refused, ERROR_ACCESS_DENIED, false);
        return refused;
    }
    return result(CreateHardLinkW(longPath(kept).c_str(), installed.c_str(), nullptr));
}

FileResult removeFile(const QString &path)
{
    const std::wstring name = longPath(path);
    if (DeleteFileW(name.c_str()))
        return FileResult();
    FileResult failed = result(false);
    // A read-only name of the starter's own goes too, where it is the file's
    // only name: another name would lose the attribute with it.
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY) || linkCount(name) != 1)
        return failed;
    if (SetFileAttributesW(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        if (DeleteFileW(name.c_str()))
            return FileResult();
        failed = result(false);
        SetFileAttributesW(name.c_str(), attributes);
    }
    return failed;
}

bool openForAppending(QFile &file)
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

bool sameFile(HANDLE handle, const std::wstring &path)
{
    const HANDLE named = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION open, atPath;
    const bool same = GetFileInformationByHandle(handle, &open) && GetFileInformationByHandle(named, &atPath)
                      && open.dwVolumeSerialNumber == atPath.dwVolumeSerialNumber
                      && fileIndex(open) == fileIndex(atPath);
    CloseHandle(named);
    return same;
}

} // namespace

bool namesOpenFile(QFile &file, const QString &path)
{
    return sameFile(handleOf(file), longPath(path));
}

bool holdAppends(QFile &file)
{
    OVERLAPPED at = appendsByte();
    return LockFileEx(handleOf(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at);
}

void releaseAppends(QFile &file)
{
    OVERLAPPED at = appendsByte();
    UnlockFileEx(handleOf(file), 0, 1, 0, &at);
}

bool renameOpenFile(const QString &path, const QString &to)
{
    // Fails while a program holds either file without sharing its deletion.
    return MoveFileExW(longPath(path).c_str(), longPath(to).c_str(), MOVEFILE_REPLACE_EXISTING);
}

QString diskFullError()
{
    return qt_error_string(ERROR_DISK_FULL);
}

QString directoryInTheWayError()
{
    return qt_error_string(ERROR_ACCESS_DENIED);
}

QString notRegularFileError()
{
    return QStringLiteral("Not a regular file");
}

QString lastError()
{
    return qt_error_string(int(GetLastError()));
}

bool stderrIsTerminal()
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode);
}

int consoleColumns()
{
    // A console wraps as soon as its last column is written.
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return 0;
    return std::max(0, info.srWindow.Right - info.srWindow.Left);
}

void writeError(const QString &text)
{
    // A console shows UTF-16 whatever its code page; a file or a pipe gets UTF-8.
    fflush(stderr);
    if (stderrIsTerminal()) {
        const QString lines = QString(text).replace(QLatin1String("\n"), QLatin1String("\r\n"));
        DWORD written;
        WriteConsoleW(GetStdHandle(STD_ERROR_HANDLE), lines.utf16(), DWORD(lines.size()), &written, nullptr);
        return;
    }
    fputs(text.toUtf8().constData(), stderr);
    fflush(stderr);
}

namespace {

qint64 toMs(const FILETIME &time)
{
    return toNs(time) / 1000000;
}

void fillLock(LockFile *lock, const BY_HANDLE_FILE_INFORMATION &info, HANDLE handle)
{
    const DWORD notFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    lock->kind = (info.dwFileAttributes & notFile) || GetFileType(handle) != FILE_TYPE_DISK ? LockFile::Other
                                                                                           : LockFile::File;
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

} // namespace

LockFile inspectLock(const QString &path)
{
    LockFile lock;
    const HANDLE handle = openLock(longPath(path), GENERIC_READ, shareAll);
    if (handle == INVALID_HANDLE_VALUE) {
        // Not ours to read: there all the same.
        if (GetFileAttributesW(longPath(path).c_str()) != INVALID_FILE_ATTRIBUTES)
            lock.kind = LockFile::Other;
        return lock;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(handle, &info)) {
        fillLock(&lock, info, handle);
        if (lock.kind == LockFile::File)
            lock.contents = readFirst(handle);
    } else {
        lock.kind = LockFile::Other;
    }
    CloseHandle(handle);
    return lock;
}

LockResult takeLock(const QString &path, qintptr *handle, bool *created, QString *error)
{
    // Open without sharing its deletion: while any starter has it open,
    // nobody removes it or puts another file in its place.
    const std::wstring name = longPath(path);
    const DWORD access = GENERIC_READ | GENERIC_WRITE;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    for (;;) {
        *created = false;
        const DWORD attributes = GetFileAttributesW(name.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES
            && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)))
            return LockResult::NotFile;
        HANDLE file = openLock(name, access, share);
        if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
            file = openLock(name, access, share, CREATE_NEW);
            if (file == INVALID_HANDLE_VALUE && (GetLastError() == ERROR_FILE_EXISTS
                                                 || GetLastError() == ERROR_ALREADY_EXISTS))
                continue; // made by another starter meanwhile
            *created = file != INVALID_HANDLE_VALUE;
        }
        if (file == INVALID_HANDLE_VALUE) {
            const DWORD why = GetLastError();
            *error = qt_error_string(int(why));
            // An older starter keeps its lock open sharing nothing but reading.
            if (why == ERROR_SHARING_VIOLATION || why == ERROR_LOCK_VIOLATION)
                return LockResult::Held;
            if (why == ERROR_ACCESS_DENIED && GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES)
                return LockResult::Unwritable;
            return LockResult::Failed;
        }
        if (GetFileType(file) != FILE_TYPE_DISK) {
            CloseHandle(file);
            return LockResult::NotFile;
        }
        // The file this starter made is its own: the others judge it only for a moment.
        OVERLAPPED at = appendsByte();
        const DWORD wait = *created ? 0 : LOCKFILE_FAIL_IMMEDIATELY;
        if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | wait, 0, 1, 0, &at)) {
            CloseHandle(file);
            return LockResult::Held;
        }
        *handle = qintptr(file);
        return LockResult::Taken;
    }
}

bool lockIsHeld(const QString &path)
{
    const std::wstring name = longPath(path);
    HANDLE file = openLock(name, GENERIC_READ | GENERIC_WRITE, shareAll);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
        return true; // an older starter's
    if (file == INVALID_HANDLE_VALUE)
        file = openLock(name, GENERIC_READ, shareAll);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    OVERLAPPED at = appendsByte();
    const bool locked = LockFileEx(file, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at);
    const bool held = !locked && GetLastError() == ERROR_LOCK_VIOLATION;
    if (locked)
        UnlockFileEx(file, 0, 1, 0, &at);
    CloseHandle(file);
    return held;
}

LockFile readLock(qintptr handle)
{
    LockFile lock;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(HANDLE(handle), &info))
        fillLock(&lock, info, HANDLE(handle));
    lock.contents = readFirst(HANDLE(handle));
    return lock;
}

void writeLock(qintptr handle, const QByteArray &contents)
{
    if (writeAt0(HANDLE(handle), contents))
        setTime(HANDLE(handle), 0);
}

void touchLock(qintptr handle)
{
    setTime(HANDLE(handle), 0);
}

void releaseLock(qintptr handle, const QByteArray &contents)
{
    if (!contents.isEmpty() && writeAt0(HANDLE(handle), contents))
        setTime(HANDLE(handle), -3600 * 1000);
    OVERLAPPED at = appendsByte();
    UnlockFileEx(HANDLE(handle), 0, 1, 0, &at);
    CloseHandle(HANDLE(handle));
}

QString removeLock(const QString &path, const LockFile &seen)
{
    // Removed by a handle to the very entry seen (a link as itself), which
    // nobody can replace while it is open; never a directory.
    const std::wstring name = longPath(path);
    const HANDLE entry = openLock(name, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (entry == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? QString() : lastError();
    BY_HANDLE_FILE_INFORMATION info;
    const auto isSeen = [&](const BY_HANDLE_FILE_INFORMATION &entryInfo) {
        return entryInfo.dwVolumeSerialNumber == seen.device && fileIndex(entryInfo) == seen.inode;
    };
    QString error;
    if (!GetFileInformationByHandle(entry, &info)) {
        error = lastError();
    } else if (isSeen(info)) {
        FILE_DISPOSITION_INFO remove = { TRUE };
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            error = directoryInTheWayError();
        else if (!SetFileInformationByHandle(entry, FileDispositionInfo, &remove, sizeof remove))
            error = lastError();
    }
    CloseHandle(entry);
    // The removal happens as the handle closes, where it may still fail
    // (Wine, in a directory the user may not write).
    const HANDLE left = error.isEmpty() ? openLock(name, FILE_READ_ATTRIBUTES, shareAll) : INVALID_HANDLE_VALUE;
    if (left != INVALID_HANDLE_VALUE) {
        if (GetFileInformationByHandle(left, &info) && isSeen(info))
            error = qt_error_string(ERROR_ACCESS_DENIED);
        CloseHandle(left);
    }
    return error;
}

namespace {

// A program's name as Qt's QLockFile gives it: its file name without the extension.
QString programName(const QString &path)
{
    const QString name = path.section(QLatin1Char('\\'), -1);
    return name.left(name.lastIndexOf(QLatin1Char('.')) < 0 ? name.size() : name.lastIndexOf(QLatin1Char('.')));
}

} // namespace

QString lockProgramName()
{
    wchar_t path[32768];
    const DWORD length = GetModuleFileNameW(nullptr, path, 32768);
    return programName(QString::fromWCharArray(path, int(length)));
}

bool holderRuns(qint64 pid, const QString &name)
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

} // namespace fileops
