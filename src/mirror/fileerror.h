#ifndef FILEERROR_H
#define FILEERROR_H

#include <QString>

// How a call on a file failed: a kind the update decides by, and the
// system's own code (errno, GetLastError) for the words of the line that
// reports it, made only there.
class FileError
{
public:
    enum Kind {
        None,
        Busy,              // another program holds the file for now: worth trying again
        Full,              // no space left, or the user's quota spent
        Gone,              // nothing at that name (any more)
        Denied,            // this user may not
        NotRegularFile,    // a pipe, a device, a directory where a file was read
        DirectoryInTheWay, // a directory where a file should go
        Other
    };

    FileError() = default;
    FileError(Kind kind, int code) : errorKind(kind), errorCode(code) {}
    // The failure a system code means; onFile: the call was on a file (on
    // Windows, access denied to a file is another program's hold on it).
    static FileError fromCode(int code, bool onFile = true);
    // The failure of the system call just made.
    static FileError last(bool onFile = true);
    static FileError notRegularFile() { return FileError(NotRegularFile, 0); }
    static FileError directoryInTheWay();

    Kind kind() const { return errorKind; }
    int code() const { return errorCode; }
    bool failed() const { return errorKind != None; }
    bool operator==(const FileError &other) const
    {
        return errorKind == other.errorKind && errorCode == other.errorCode && triedS == other.triedS
               && allowanceS == other.allowanceS;
    }

    // A busy file tried again for so long, or not at all because the run's
    // allowance for waiting was spent: for the line to say so.
    FileError triedAgainFor(int seconds) const;
    FileError notTriedAgain(int allowanceSeconds) const;

    // The system's words for it, as a line shows them.
    QString words() const;

private:
    QString systemWords() const; // one per platform (fileerror_unix.cpp, fileerror_win.cpp)

    Kind errorKind = None;
    int errorCode = 0;
    short triedS = -1;     // -1: not tried again
    short allowanceS = -1; // not -1: not tried again, that allowance spent
};

#endif
