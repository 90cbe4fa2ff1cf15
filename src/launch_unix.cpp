#include "launch.h"

#include <QFile>

#include <cstring>
#include <spawn.h>
#include <vector>

extern char **environ;

QString startDetached(const QString &program, const QStringList &arguments)
{
    // posix_spawn reports why exec failed, and a new session keeps the
    // application running when the starter's console goes away.
    const QByteArray path = QFile::encodeName(program);
    QList<QByteArray> encoded;
    for (const QString &argument : arguments)
        encoded << argument.toLocal8Bit();
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(path.constData()));
    for (QByteArray &argument : encoded)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid;
    const int error = posix_spawn(&pid, path.constData(), nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    return error == 0 ? QString() : QString::fromLocal8Bit(strerror(error));
}
