#include "mirror/disk.h"

#include "mirror/files_unix.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Linux (/proc, syncfs).

void fillEntry(FileEntry *file, const struct stat &info); // copy_unix.cpp

namespace {

FileError result(bool done)
{
    return done ? FileError() : FileError::last();
}

} // namespace

bool namesIgnoreCase()
{
    return false;
}

SystemDisk &SystemDisk::instance()
{
    static SystemDisk disk;
    return disk;
}

Listing SystemDisk::listDirectory(const QString &path)
{
    Listing listing;
    DIR *dir = opendir(encoded(path).constData());
    if (!dir) {
        listing.error = FileError::last();
        return listing;
    }
    for (;;) {
        errno = 0;
        const dirent *entry = readdir(dir);
        if (!entry)
            break;
        const QByteArray raw(entry->d_name);
        if (raw == "." || raw == "..")
            continue;
        FileEntry file;
        file.name = QFile::decodeName(raw);
        file.badName = QFile::encodeName(file.name) != raw;
        file.hidden = raw.startsWith('.');
        struct stat info;
        if (fstatat(dirfd(dir), raw.constData(), &info, 0) != 0) {
            const int error = errno;
            // A link to nothing is no file to copy.
            if (fstatat(dirfd(dir), raw.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode))
                continue;
            file.error = FileError::fromCode(error);
        } else {
            fillEntry(&file, info);
        }
        listing.entries.append(file);
    }
    if (errno != 0)
        listing.error = FileError::last();
    closedir(dir);
    return listing;
}

FileEntry SystemDisk::fileEntry(const QString &path)
{
    FileEntry file;
    file.name = path.section(QLatin1Char('/'), -1);
    struct stat info;
    if (stat(encoded(path).constData(), &info) == 0)
        fillEntry(&file, info);
    else
        file.error = FileError::last();
    return file;
}

Identity SystemDisk::identity(const QString &path)
{
    struct stat info;
    if (stat(encoded(path).constData(), &info) != 0)
        return Identity(0, 0);
    return Identity(info.st_dev, info.st_ino);
}

bool SystemDisk::isLink(const QString &path)
{
    struct stat info;
    return lstat(encoded(path).constData(), &info) == 0 && S_ISLNK(info.st_mode);
}

bool SystemDisk::keepsPermissions(const QString &probe)
{
    const QByteArray path = encoded(probe);
    const int fd = open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return true; // nothing learnt: compare permissions as usual
    struct stat info;
    const bool kept = fchmod(fd, 0640) == 0 && fstat(fd, &info) == 0 && (info.st_mode & 07777) == 0640;
    close(fd);
    unlink(path.constData());
    return kept;
}

FileError SystemDisk::makeDirectory(const QString &path)
{
    return result(mkdir(encoded(path).constData(), 0777) == 0);
}

FileError SystemDisk::makeOwnDirectory(const QString &path)
{
    // Hidden by its dot-name.
    if (mkdir(encoded(path).constData(), 0777) == 0)
        return FileError();
    struct stat info;
    return errno == EEXIST && lstat(encoded(path).constData(), &info) == 0 && S_ISDIR(info.st_mode)
               ? FileError()
               : FileError::fromCode(errno == EEXIST ? ENOTDIR : errno);
}

FileError SystemDisk::removeDirectory(const QString &path)
{
    return result(rmdir(encoded(path).constData()) == 0);
}

FileError SystemDisk::syncDirectory(const QString &path)
{
    const int fd = open(encoded(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return FileError::last();
    const FileError error = result(fsync(fd) == 0);
    close(fd);
    return error;
}

bool SystemDisk::littleElseUnsaved(qint64 ownBytes)
{
    // A few megabytes of another program's cost a moment; its hundreds would
    // slow the update down.
    const qint64 othersAtMost = 16 << 20;
    FILE *meminfo = fopen("/proc/meminfo", "re");
    if (!meminfo)
        return false;
    qint64 unsaved = 0;
    int found = 0;
    char line[256];
    while (fgets(line, sizeof line, meminfo)) {
        long long kB = 0;
        if (sscanf(line, "Dirty: %lld kB", &kB) == 1 || sscanf(line, "Writeback: %lld kB", &kB) == 1) {
            unsaved += kB * 1024;
            ++found;
        }
    }
    fclose(meminfo);
    return found == 2 && unsaved - ownBytes <= othersAtMost;
}

FileError SystemDisk::syncFileSystem(qintptr fileSystem)
{
    return result(syncfs(int(fileSystem)) == 0);
}

FileError SystemDisk::replaceFile(const QString &from, const QString &to)
{
    // rename() replaces in one step, even a program that is running.
    return result(rename(encoded(from).constData(), encoded(to).constData()) == 0);
}

FileError SystemDisk::moveAside(const QString &path, const QString &aside)
{
    // Never over something at aside, as on Windows.
    const QByteArray from = encoded(path), to = encoded(aside);
    if (renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return FileError();
    if (errno != EINVAL && errno != ENOSYS)
        return FileError::last();
    // A file system without that flag: names under the starter's own
    // pattern, which nothing else makes.
    struct stat info;
    if (lstat(to.constData(), &info) == 0)
        return FileError::fromCode(EEXIST);
    return result(rename(from.constData(), to.constData()) == 0);
}

FileError SystemDisk::keepOld(const QString &path, const QString &kept)
{
    return result(link(encoded(path).constData(), encoded(kept).constData()) == 0);
}

FileError SystemDisk::removeFile(const QString &path)
{
    return result(unlink(encoded(path).constData()) == 0);
}

FileError SystemDisk::writeOwnFile(const QString &path, const std::function<QByteArray()> &next)
{
    const int fd = open(encoded(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return FileError::last();
    for (QByteArray contents = next(); !contents.isEmpty(); contents = next()) {
        for (qint64 done = 0; done < contents.size();) {
            const ssize_t written = write(fd, contents.constData() + done, size_t(contents.size() - done));
            if (written < 0 && errno != EINTR) {
                const FileError error = FileError::last();
                close(fd);
                return error;
            }
            done += qMax(ssize_t(0), written);
        }
    }
    const FileError error = result(fsync(fd) == 0);
    return close(fd) != 0 && !error.failed() ? FileError::last() : error;
}

FileError SystemDisk::readOwnFile(const QString &path, QByteArray *contents)
{
    const int fd = open(encoded(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return FileError::last();
    contents->clear();
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            const FileError error = result(got == 0);
            close(fd);
            return error;
        }
        contents->append(buffer, int(got));
    }
}

bool SystemDisk::refusesThisUser(const QString &, const FileError &error)
{
    return error.kind() == FileError::Denied; // no program holds a file here
}

bool SystemDisk::ownedByThisUserOrAdministrators(const QString &path)
{
    struct stat info;
    return lstat(encoded(path).constData(), &info) == 0 && (info.st_uid == geteuid() || info.st_uid == 0);
}
