// The members of NetflowSettings that reach the snapshot files and the log
// file; the file access itself belongs to the files library.
#include "log_file.h"
#include "netflow_settings.h"
#include "settings_file.h"
#include "snapshot_files.h"
#include "vexmora_paths.h"

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

} // namespace

QString NetflowSettings::readAppInfo()
{
    return vexmora::files::readSnapshot(vexmora::paths::kAppInfoFile);
}

QString NetflowSettings::readProcessInfo()
{
    return vexmora::files::readSnapshot(vexmora::paths::kProcessInfoFile);
}

int NetflowSettings::writeLog(int level, const char *format, ...)
{
    if (level > logLevel()) {
        return 0;
    }
    va_list arguments;
    va_start(arguments, format);
    const QString message = QString::vasprintf(format, arguments);
    va_end(arguments);
    vexmora::files::appendLogEntry(message);
    return 1;
}
