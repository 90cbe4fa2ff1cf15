#ifndef APPENDFILE_H
#define APPENDFILE_H

// The calls the update log makes on its file, one implementation per
// platform (appendfile_unix.cpp, appendfile_win.cpp): appends that land
// whole while other processes append to the same file, and a rename that
// one of them may make while the others write on.

#include "mirror/fileerror.h"

#include <QFile>
#include <QString>

namespace appendfile {

// Opens file (its name set) for writing text, each write landing whole at
// the end even while other processes append to it too; only where the name
// is a regular file, or nothing yet (never a link, a pipe, a device). A
// file it makes every user may write: the users of a shared installation
// share its log. Another user's existing file is opened without asking to
// create it, which a sticky directory would refuse (protected_regular).
bool open(QFile &file);
// Whether the file ends with a whole line (or is empty): a write cut short
// (a full disk) leaves part of one, which the next line must not join.
// True where that cannot be read.
bool endsLine(QFile &file);
// Whether path still names the file that file has open (not once that was
// renamed).
bool namesOpenFile(QFile &file, const QString &path);
// Keeps other processes' hold on the same file away, until release; false
// at once where another process has it.
bool hold(QFile &file);
void release(QFile &file);
// Renames a file that open() opened (here or in another process) to to,
// replacing what is there.
FileError rename(const QString &path, const QString &to);
// Empties the file open() opened, where the system lets its appends do so
// (not on Windows, where it is opened for appending alone).
bool cut(QFile &file);

} // namespace appendfile

#endif
