#include "log_file.h"

#include "vexmora_paths.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>

namespace vexmora::files {

void appendLogEntry(const QString &message)
{
    const QString time = QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss:zzz"));
    const QString entry = QStringLiteral("[%1]  ").arg(time) + message;
    qDebug() << "log_msg: " << entry;

    QFile file(QString::fromUtf8(paths::kLogFile));
    file.open(file.exists() ? QIODevice::Append : QIODevice::ReadWrite);
    file.write((entry + QLatin1Char('\n')).toUtf8());
}

} // namespace vexmora::files
