#include "netflow_settings.h"
#include "settings_file.h"

namespace {

const QString kAlarmSizeKey = QStringLiteral("NETFLOW_ALARM_SIZE");
const QString kEgressAlarmSizeKey = QStringLiteral("NETFLOW_EGRESS_ALARM_SIZE");
const QString kIngressAlarmSizeKey = QStringLiteral("NETFLOW_INGRESS_ALARM_SIZE");
// One period for all three thresholds.
const QString kAlarmPeriodKey = QStringLiteral("NETFLOW_ALARM_PERIOD");

} // namespace

QString NetflowSettings::readThreshold(const QString &sizeKey)
{
    // Both keys from one read of the file.
    const SettingsFile file;
    const int size = file.text(sizeKey).toInt(nullptr, 10);
    const int period = file.text(kAlarmPeriodKey).toInt(nullptr, 10);
    // Compact JSON with the keys in order, as QJsonDocument prints the object.
    return QLatin1String("{\"period\":") + QString::number(period) + QLatin1String(",\"size\":") +
           QString::number(size) + QLatin1Char('}');
}

int NetflowSettings::setThreshold(const QString &sizeKey, int size, int period)
{
    if (size < 0 || period < 0) {
        return -1;
    }
    QString storedSize;
    QString storedPeriod;
    {
        const SettingsFile file;
        storedSize = file.text(sizeKey);
        storedPeriod = file.text(kAlarmPeriodKey);
    }
    const QString newSize = QString::number(size);
    const QString newPeriod = QString::number(period);
    // Textual comparison: "060" stored for 60 counts as a change.
    if (storedSize == newSize && storedPeriod == newPeriod) {
        return 0;
    }
    if (writeValue(sizeKey, newSize) != 0 || writeValue(kAlarmPeriodKey, newPeriod) != 0) {
        return -1;
    }
    return writeAlarmTimestamp();
}

QString NetflowSettings::getAlarmThreshold()
{
    return readThreshold(kAlarmSizeKey);
}

int NetflowSettings::setAlarmThreshold(int size, int period)
{
    return setThreshold(kAlarmSizeKey, size, period);
}

QString NetflowSettings::getEgressThreshold()
{
    return readThreshold(kEgressAlarmSizeKey);
}

int NetflowSettings::setEgressThreshold(int size, int period)
{
    return setThreshold(kEgressAlarmSizeKey, size, period);
}

QString NetflowSettings::getIngressThreshold()
{
    return readThreshold(kIngressAlarmSizeKey);
}

int NetflowSettings::setIngressThreshold(int size, int period)
{
    return setThreshold(kIngressAlarmSizeKey, size, period);
}
