#ifndef APPENDFILE_H
#define APPENDFILE_H

// The calls the update log makes on its file, one implementation per
// platform (appendfile_unix.cpp, appendfile_win.cpp): appends that land
// whole while other processes append to the same file, and a rename that
// one of them may make while the others write on.

#include <QFile>
#include <QString>

namespace appendfile {

// Opens file (its name set) for writing text, each write landing whole at
// the end even while other processes append to it too; only where the name
// is a regular file, or nothing yet (never a link, a pipe, a device).
bool open(QFile &file);
// Whether path still names the file that file has open (not once that was
// renamed).
bool namesOpenFile(QFile &file, const QString &path);
// Keeps other processes' hold on the same file away, until release; false
// at once where another process has it.
bool hold(QFile &file);
void release(QFile &file);
// Renames a file that open() opened (here or in another process) to to,
// replacing what is there.
bool rename(const QString &path, const QString &to);

} // namespace appendfile

#endif
