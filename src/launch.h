#ifndef LAUNCH_H
#define LAUNCH_H

#include <QString>
#include <QStringList>

// Starts program detached, in the current directory, and does not wait for
// it. Returns the system's reason when it could not be started, else "".
QString startDetached(const QString &program, const QStringList &arguments);

#endif
