#include "state_dir.h"

#include "vexmora_paths.h"

#include <QDir>
#include <QFile>

namespace testsupport {

QString stateDir()
{
    return QString::fromUtf8(vexmora::paths::kStateDir);
}

QString statePath(const QString &fileName)
{
    return stateDir() + QLatin1Char('/') + fileName;
}

void resetStateDir()
{
    QDir dir(stateDir());
    dir.removeRecursively();
    dir.mkpath(QStringLiteral("."));
}

void writeStateFile(const QString &fileName, const QByteArray &content)
{
    QFile file(statePath(fileName));
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(content);
}

QByteArray readStateFile(const QString &fileName)
{
    QFile file(statePath(fileName));
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

} // namespace testsupport
