#include "settings_watch.h"

#include "netflow_settings.h"
#include "sqlite_handles.h"
#include "vexmora_paths.h"

#include <cjson/cJSON.h>
#include <limits>

namespace vexmora::meter {
namespace {

struct Threshold
{
    qint64 size = 0;
    qint64 period = 0;
};

// A whole number that an int holds; 0 for anything else, as for a missing key.
int wholeNumber(const cJSON *object, const char *key)
{
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, key);
    if (!cJSON_IsNumber(item))
        return 0;
    const double value = item->valuedouble;
    const bool inRange =
        value >= std::numeric_limits<int>::min() && value <= std::numeric_limits<int>::max();
    return inRange && value == double(int(value)) ? int(value) : 0;
}

// The file's text is not trusted: anything but one JSON object is no threshold.
Threshold parseThreshold(const QString &json)
{
    const QByteArray text = json.toUtf8();
    // With the terminating NUL: nothing but white space may follow the object.
    const store::Json object(
        cJSON_ParseWithLengthOpts(text.constData(), std::size_t(text.size()) + 1, nullptr, true));
    if (!cJSON_IsObject(object.get()))
        return {};
    return Threshold{wholeNumber(object.get(), "size"), wholeNumber(object.get(), "period")};
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
