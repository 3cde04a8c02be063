// Arbitrary text as the settings file: the switches and thresholds read it,
// write over it, and always answer well-formed values.
#include "netflow_settings.h"
#include "vexmora_paths.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace {

void requireThresholdText(const QString &text)
{
    const QJsonObject threshold = QJsonDocument::fromJson(text.toUtf8()).object();
    if (threshold.size() != 2 || !threshold[QStringLiteral("size")].isDouble() ||
        !threshold[QStringLiteral("period")].isDouble()) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ::mkdir(vexmora::paths::kStateDir, 0755);
    std::FILE *file = std::fopen(vexmora::paths::kSettingsFile, "wb");
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    NetflowSettings settings;
    settings.getCountStatus();
    requireThresholdText(settings.getAlarmThreshold());
    requireThresholdText(settings.getIngressThreshold());
    const int mode = size % 2 == 0 ? 1 : 0;
    if (settings.setAlarmStatus(mode) == 0 && settings.getAlarmStatus() != mode) {
        std::abort();
    }
    if (settings.setEgressThreshold(static_cast<int>(size), 5) == 0) {
        requireThresholdText(settings.getEgressThreshold());
    }
    settings.writeLog(0, "%s", "fuzz");
    return 0;
}
