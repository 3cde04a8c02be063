#pragma once

#include "alarm_monitor.h"

#include <QString>
#include <sys/stat.h>

namespace vexmora::meter {

// What the meter takes from the settings file.
struct MeterSettings
{
    bool counting = false;
    AlarmSettings alarms;
};

// Reads the settings through NetflowSettings when the file changed since the
// last read, which a stat() per sample tells without reading the file.
class SettingsWatch
{
public:
    explicit SettingsWatch(QString path);
    // True when the file changed (or on the first call); then `settings` holds
    // what it says now.
    bool poll(MeterSettings &settings);

private:
    QString path_;
    bool first_ = true;
    struct stat seen_
    {
    };
};

// The settings as the file holds them now. A switch is on only at 1.
MeterSettings readMeterSettings();

} // namespace vexmora::meter
