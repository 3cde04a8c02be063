#pragma once

#include "alarm_monitor.h"
#include "file_state.h"

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
    // True when the file changed (or on the first call); then `settings` holds
    // what it says now.
    bool poll(MeterSettings &settings);

private:
    bool first_ = true;
    FileState seen_;
};

} // namespace vexmora::meter
