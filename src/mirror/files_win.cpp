#include "mirror/files_win.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <sddl.h>

std::wstring longPath(const QString &path)
{
    const QString absolute = QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    if (absolute.startsWith(QLatin1String("\\\\?\\")))
        return absolute.toStdWString();
    if (absolute.startsWith(QLatin1String("\\\\")))
        return (QLatin1String("\\\\?\\UNC\\") + absolute.mid(2)).toStdWString();
    return (QLatin1String("\\\\?\\") + absolute).toStdWString();
}

namespace {

const qint64 epochIn100ns = Q_INT64_C(116444736000000000); // 1601 to 1970

} // namespace

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

quint64 fileIndex(const BY_HANDLE_FILE_INFORMATION &info)
{
    return (quint64(info.nFileIndexHigh) << 32 | info.nFileIndexLow) + 1;
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

ForEveryone::ForEveryone(const wchar_t *sddl)
{
    attributes.nLength = sizeof attributes;
    attributes.bInheritHandle = FALSE;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &attributes.lpSecurityDescriptor,
                                                              nullptr))
        attributes.lpSecurityDescriptor = nullptr;
}

ForEveryone::~ForEveryone()
{
    LocalFree(attributes.lpSecurityDescriptor);
}
