#include "netflow_settings.h"
#include "settings_file.h"
#include "vexmora_paths.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <cstdarg>

namespace {

// The LogLevel setting as last read; 0 means "read it again".
int cachedLogLevel = 0;

int logLevel()
{
    if (cachedLogLevel == 0) {
        cachedLogLevel = SettingsFile().value(QStringLiteral("LogLevel")).toInt();
    }
    return cachedLogLevel;
}

void appendToLogFile(const QString &entry)
{
    QFile file(QString::fromUtf8(vexmora::paths::kLogFile));
    file.open(file.exists() ? QIODevice::Append : QIODevice::ReadWrite);
    file.write(entry.toUtf8());
}

} // namespace

int NetflowSettings::writeLog(int level, const char *format, ...)
{
    if (level > logLevel()) {
        return 0;
    }
    const QString time = QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss:zzz"));
    va_list arguments;
    va_start(arguments, format);
    const QString message = QString::vasprintf(format, arguments);
    va_end(arguments);

    const QString entry = QStringLiteral("[%1]  ").arg(time) + message;
    qDebug() << "log_msg: " << entry;
    appendToLogFile(entry + QLatin1Char('\n'));
    return 1;
}
