#include "mirror/commitrecord.h"

#include <QCryptographicHash>
#include <QList>

#include <algorithm>

const char CommitRecord::fileName[] = ".quorvane-starter.commit";

namespace {

const QByteArray firstLine = "quorvane-starter commit record ";
const QByteArray version = "1";

QByteArray encodedPath(const QString &path)
{
    return path.toUtf8().toPercentEncoding("/");
}

// tag, the old version's name, the new one's temporary, what differs by tag, the rest alike.
QByteArray fileLine(const char *tag, const CommitRecord::File &file, const QByteArray &third)
{
    QByteArray line = tag;
    for (const QByteArray &word : { QByteArray::number(file.kept, 16), QByteArray::number(file.temporary, 16), third,
                                    QByteArray::number(file.size), QByteArray::number(file.mtimeNs),
                                    QByteArray::number(file.mode), QByteArray::number(file.old.first),
                                    QByteArray::number(file.old.second), encodedPath(file.path) })
        line += ' ' + word;
    return line + '\n';
}

// A check or file line's words; false where one is missing or no number.
bool readFile(const QList<QByteArray> &words, CommitRecord::File *file)
{
    if (words.size() != 10)
        return false;
    bool ok[7];
    file->kept = words[1].toULongLong(&ok[0], 16);
    file->temporary = words[2].toULongLong(&ok[1], 16);
    file->size = words[4].toLongLong(&ok[2]);
    file->mtimeNs = words[5].toLongLong(&ok[3]);
    file->mode = words[6].toUInt(&ok[4]);
    file->old.first = words[7].toULongLong(&ok[5]);
    file->old.second = words[8].toULongLong(&ok[6]);
    file->path = QString::fromUtf8(QByteArray::fromPercentEncoding(words[9]));
    return std::all_of(ok, ok + 7, [](bool one) { return one; }) && !file->path.isEmpty();
}

bool readLine(const QList<QByteArray> &words, CommitRecord *record)
{
    const QByteArray tag = words.value(0);
    if (tag == "prefix" && words.size() == 2) {
        record->prefix = QString::fromUtf8(words[1]);
        return true;
    }
    if (tag == "made" && words.size() == 2) {
        record->made << QString::fromUtf8(QByteArray::fromPercentEncoding(words[1]));
        return true;
    }
    if (tag == "check" && !record->hasCheck) {
        bool ok = false;
        record->hasCheck = true;
        record->checkOldSize = words.value(3).toLongLong(&ok);
        return readFile(words, &record->check) && ok;
    }
    if (tag == "file" && (words.value(3) == "r" || words.value(3) == "n")) {
        CommitRecord::File file;
        file.replacing = words[3] == "r";
        record->files.append(file);
        return readFile(words, &record->files.last());
    }
    return false;
}

} // namespace

CommitRecordWriter::CommitRecordWriter(const CommitRecord &head, int files, FileAt fileAt)
    : fileAt(std::move(fileAt)), files(files)
{
    add(firstLine + version + '\n');
    add("prefix " + head.prefix.toUtf8() + '\n');
    if (head.hasCheck)
        add(fileLine("check", head.check, QByteArray::number(head.checkOldSize)));
    for (const QString &directory : head.made)
        add("made " + encodedPath(directory) + '\n');
}

void CommitRecordWriter::add(const QByteArray &line)
{
    piece += line;
    sum.addData(line);
    ++lines;
}

QByteArray CommitRecordWriter::next()
{
    const int pieceBytes = 64 * 1024;
    while (nextFile < files && piece.size() < pieceBytes) {
        const CommitRecord::File file = fileAt(nextFile++);
        add(fileLine("file", file, file.replacing ? "r" : "n"));
    }
    if (nextFile == files && !ended) {
        ended = true;
        piece += "end " + QByteArray::number(lines) + ' ' + sum.result().toHex() + '\n';
    }
    QByteArray given;
    given.swap(piece);
    return given;
}

CommitRecord::State CommitRecord::fromText(const QByteArray &text, CommitRecord *record)
{
    *record = CommitRecord();
    if (!text.startsWith(firstLine))
        return text.isEmpty() || firstLine.startsWith(text) ? Torn : OtherVersion;
    const int firstEnd = text.indexOf('\n');
    if (firstEnd >= 0 && text.mid(firstLine.size(), firstEnd - firstLine.size()) != version)
        return OtherVersion;
    // Whole: it ends with its end line, which counts the lines and sums the bytes before it.
    const int endAt = text.lastIndexOf("\nend ") + 1;
    const QList<QByteArray> end = text.mid(endAt).trimmed().split(' ');
    const QByteArray body = text.left(endAt);
    if (endAt <= 0 || !text.endsWith('\n') || end.size() != 3 || end[1] != QByteArray::number(body.count('\n'))
        || end[2] != QCryptographicHash::hash(body, QCryptographicHash::Md5).toHex())
        return Torn;
    const QList<QByteArray> lines = body.split('\n');
    for (int i = 1; i < lines.size() - 1; ++i) {
        if (!readLine(lines[i].split(' '), record))
            return OtherVersion; // summed whole, yet not ours to read: never guessed at
    }
    return record->prefix.isEmpty() ? Torn : Whole;
}
