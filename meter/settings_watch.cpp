#include "settings_watch.h"

#include "netflow_settings.h"
#include "vexmora_paths.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace vexmora::meter {
namespace {

struct Threshold
{
    qint64 size = 0;
    qint64 period = 0;
};

Threshold parseThreshold(const QString &json)
{
    const QJsonObject object = QJsonDocument::fromJson(json.toUtf8()).object();
    return Threshold{object.value(QStringLiteral("size")).toInt(),
                     object.value(QStringLiteral("period")).toInt()};
}

// The settings as the file holds them now. A switch is on only at 1.
MeterSettings readMeterSettings()
{
    NetflowSettings file;
    MeterSettings settings;
    settings.counting = file.getCountStatus() == 1;
    AlarmSettings &alarms = settings.alarms;
    alarms.enabled = {file.getAlarmStatus() == 1, file.getEgressAlarmStatus() == 1,
                      file.getIngressAlarmStatus() == 1};
    const Threshold overall = parseThreshold(file.getAlarmThreshold());
    const Threshold egress = parseThreshold(file.getEgressThreshold());
    const Threshold ingress = parseThreshold(file.getIngressThreshold());
    alarms.sizeMiB = {overall.size, egress.size, ingress.size};
    alarms.periodMinutes = overall.period;
    alarms.changedAt = file.getAlarmTimestamp();
    return settings;
}

} // namespace

bool SettingsWatch::poll(MeterSettings &settings)
{
    const FileState now = FileState::of(paths::kSettingsFile);
    if (!first_ && now == seen_) {
        return false;
    }
    first_ = false;
    seen_ = now;
    settings = readMeterSettings();
    return true;
}

} // namespace vexmora::meter
