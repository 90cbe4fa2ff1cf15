#ifndef FILES_WIN_H
#define FILES_WIN_H

// What the Windows implementations of the disk, the lock file and the log's
// appends share.

#include "mirror/disk.h"

#include <string>
#include <windows.h>

// The \\?\ form lifts the 260-character limit from the calls made with it.
std::wstring longPath(const QString &path);
// Nanoseconds since 1970.
qint64 toNs(const FILETIME &time);
FILETIME toFileTime(const LARGE_INTEGER &ticks);
FILETIME toFileTime(qint64 ns);
void fill(FileEntry *file, DWORD attributes, DWORD sizeHigh, DWORD sizeLow, const FILETIME &written,
          const FILETIME &created);
// A file's index on its volume, as identity() gives it: never 0.
quint64 fileIndex(const BY_HANDLE_FILE_INFORMATION &info);
// Whether handle and path are the same file.
bool sameFile(HANDLE handle, const std::wstring &path);

// Every user of the machine may wait on it and let go of it, and read and
// write the lock file, whoever made either (a shared installation's users,
// on a terminal server too).
struct ForEveryone
{
    // sddl: the security descriptor, in the system's string form.
    explicit ForEveryone(const wchar_t *sddl);
    ~ForEveryone();
    ForEveryone(const ForEveryone &) = delete;
    ForEveryone &operator=(const ForEveryone &) = delete;
    SECURITY_ATTRIBUTES attributes;
};



#endif
