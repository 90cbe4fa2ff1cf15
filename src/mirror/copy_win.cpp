#include "mirror/disk.h"

#include "mirror/files_win.h"

namespace {

// Copies size bytes of in to out (fewer where the file ends before); the
// error, if any, and which side had it.
DWORD copyData(HANDLE in, HANDLE out, qint64 size, QAtomicInteger<qint64> *copiedBytes, const CopyPace &pace,
               bool *readingFailed)
{
    // A small file's buffer is small, and none is filled first.
    QByteArray buffer(int(qBound(qint64(4096), size, qint64(256 << 10))), Qt::Uninitialized);
    while (size > 0) {
        DWORD read = 0, written = 0;
        if (!ReadFile(in, buffer.data(), DWORD(qMin(size, qint64(buffer.size()))), &read, nullptr)) {
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
        size -= read;
        if (pace && !pace())
            return ERROR_CANCELLED;
    }
    return 0;
}

} // namespace

CopyOutcome SystemDisk::copyToNew(const QString &source, const QString &temporary, const FileEntry &master,
                                  QAtomicInteger<qint64> *copiedBytes, const CopyPace &pace)
{
    CopyOutcome outcome;
    outcome.readingFailed = true;
    const HANDLE in = CreateFileW(longPath(source).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (in == INVALID_HANDLE_VALUE) {
        outcome.error = FileError::last();
        return outcome;
    }
    if (GetFileType(in) != FILE_TYPE_DISK) {
        CloseHandle(in);
        outcome.error = FileError::notRegularFile();
        return outcome;
    }
    outcome.readingFailed = false;
    const std::wstring out16 = longPath(temporary);
    const HANDLE out = CreateFileW(out16.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        outcome.error = FileError::last(false);
        CloseHandle(in);
        return outcome;
    }
    DWORD error = copyData(in, out, master.size, copiedBytes, pace, &outcome.readingFailed);
    const FILETIME written = toFileTime(master.mtimeNs);
    BY_HANDLE_FILE_INFORMATION info;
    if (error == 0 && (!SetFileTime(out, nullptr, nullptr, &written) || !GetFileInformationByHandle(out, &info)))
        error = GetLastError();
    CloseHandle(in);
    if (error != 0) {
        CloseHandle(out);
        DeleteFileW(out16.c_str());
        outcome.error = FileError::fromCode(int(error), outcome.readingFailed);
        return outcome;
    }
    outcome.handle = qintptr(out);
    fill(&outcome.kept, info.dwFileAttributes, info.nFileSizeHigh, info.nFileSizeLow, info.ftLastWriteTime,
         info.ftCreationTime);
    outcome.kept.mode = master.mode;
    outcome.kept.device = info.dwVolumeSerialNumber;
    return outcome;
}

FileError SystemDisk::finishCopy(CopyOutcome *outcome, bool onDisk)
{
    const HANDLE out = HANDLE(outcome->handle);
    if (outcome->handle < 0)
        return FileError();
    outcome->handle = -1;
    // The read-only attribute after the flush, by the handle that wrote it:
    // a read-only file can no longer be opened for flushing.
    FILE_BASIC_INFO readOnly = {};
    readOnly.FileAttributes = FILE_ATTRIBUTE_READONLY;
    FileError error;
    if ((!onDisk && !FlushFileBuffers(out))
        || (outcome->kept.mode && !SetFileInformationByHandle(out, FileBasicInfo, &readOnly, sizeof readOnly)))
        error = FileError::last(false);
    if (!CloseHandle(out) && !error.failed())
        error = FileError::last(false);
    return error;
}

FileError SystemDisk::syncFile(const QString &path)
{
    const HANDLE file = CreateFileW(longPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return FileError::last();
    const FileError error = FlushFileBuffers(file) ? FileError() : FileError::last(false);
    CloseHandle(file);
    return error;
}
