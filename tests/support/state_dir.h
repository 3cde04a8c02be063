#pragma once

#include "vexmora_paths.h"

#include <QDir>
#include <QFile>

// The scratch state directory the build was configured with.
namespace testsupport {

inline QString stateDir()
{
    return QString::fromUtf8(vexmora::paths::kStateDir);
}

inline QString statePath(const QString &fileName)
{
    return stateDir() + QLatin1Char('/') + fileName;
}

// Empties the state directory, creating it when missing.
inline void resetStateDir()
{
    QDir(stateDir()).removeRecursively();
    QDir().mkpath(stateDir());
}

inline void writeStateFile(const QString &fileName, const QByteArray &content)
{
    QFile file(statePath(fileName));
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(content);
}

inline QByteArray readStateFile(const QString &fileName)
{
    QFile file(statePath(fileName));
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

} // namespace testsupport
