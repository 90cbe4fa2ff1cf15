#include "mirror/prefetchindex.h"

#include <QList>

#include <algorithm>

const char PrefetchIndex::directoryName[] = ".quorvane-prefetch";

namespace {

const QByteArray firstLine = "quorvane-starter prefetch index 1";

void addSeen(QByteArray *line, const PrefetchIndex::Seen &seen)
{
    for (const qint64 number : { seen.size, seen.mtimeNs, seen.changedNs, qint64(seen.mode) })
        *line += ' ' + QByteArray::number(number);
}

bool readSeen(const QList<QByteArray> &words, int at, PrefetchIndex::Seen *seen)
{
    bool ok[4];
    seen->size = words[at].toLongLong(&ok[0]);
    seen->mtimeNs = words[at + 1].toLongLong(&ok[1]);
    seen->changedNs = words[at + 2].toLongLong(&ok[2]);
    seen->mode = words[at + 3].toUInt(&ok[3]);
    return std::all_of(ok, ok + 4, [](bool one) { return one; });
}

// "file" before(4) after(4) device inode kept-size kept-time kept-mode path
bool readEntry(const QList<QByteArray> &words, PrefetchIndex::Entry *entry)
{
    if (words.size() != 15 || words[0] != "file")
        return false;
    bool ok[5];
    entry->copy.first = words[9].toULongLong(&ok[0]);
    entry->copy.second = words[10].toULongLong(&ok[1]);
    entry->keptSize = words[11].toLongLong(&ok[2]);
    entry->keptMtimeNs = words[12].toLongLong(&ok[3]);
    entry->keptMode = words[13].toUInt(&ok[4]);
    entry->path = QString::fromUtf8(QByteArray::fromPercentEncoding(words[14]));
    // Nothing that could lead out of the prefetch directory.
    const bool inside = !entry->path.isEmpty() && !entry->path.startsWith(QLatin1Char('/'))
                        && !entry->path.split(QLatin1Char('/')).contains(QStringLiteral(".."));
    return readSeen(words, 1, &entry->before) && readSeen(words, 5, &entry->after) && inside
           && std::all_of(ok, ok + 5, [](bool one) { return one; });
}

} // namespace

QString PrefetchIndex::directoryOf(const QString &target)
{
    return target + QLatin1Char('/') + QLatin1String(directoryName);
}

QString PrefetchIndex::filesOf(const QString &target)
{
    return directoryOf(target) + QStringLiteral("/files");
}

QByteArray PrefetchIndex::toText() const
{
    QByteArray text = firstLine + '\n';
    for (const Entry &entry : entries) {
        QByteArray line = "file";
        addSeen(&line, entry.before);
        addSeen(&line, entry.after);
        for (const qint64 number : { qint64(entry.copy.first), qint64(entry.copy.second), entry.keptSize,
                                     entry.keptMtimeNs, qint64(entry.keptMode) })
            line += ' ' + QByteArray::number(number);
        text += line + ' ' + entry.path.toUtf8().toPercentEncoding("/") + '\n';
    }
    return text + "end " + QByteArray::number(entries.size()) + '\n';
}

PrefetchIndex PrefetchIndex::fromText(const QByteArray &text)
{
    PrefetchIndex index;
    const QList<QByteArray> lines = text.split('\n');
    // Only an index written whole counts.
    if (lines.value(0) != firstLine || lines.size() < 3 || lines.at(lines.size() - 2) != "end " + QByteArray::number(lines.size() - 3))
        return index;
    for (int i = 1; i < lines.size() - 2; ++i) {
        Entry entry;
        if (readEntry(lines[i].split(' '), &entry))
            index.entries.insert(entry.path, entry);
    }
    return index;
}

PrefetchIndex PrefetchIndex::read(const QString &target, Disk &disk)
{
    QByteArray text;
    if (disk.readOwnFile(directoryOf(target) + QStringLiteral("/index"), &text).failed())
        return PrefetchIndex();
    return fromText(text);
}

FileError PrefetchIndex::write(const QString &target, Disk &disk) const
{
    const QString index = directoryOf(target) + QStringLiteral("/index");
    bool given = false;
    const FileError error = disk.writeOwnFile(index + QStringLiteral(".new"), [&] {
        const bool first = !given;
        given = true;
        return first ? toText() : QByteArray();
    });
    return error.failed() ? error : disk.replaceFile(index + QStringLiteral(".new"), index);
}
