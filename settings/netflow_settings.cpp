#include "netflow_settings.h"

#include "settings_file.h"

#include <QDateTime>

namespace {

const QString kCountStatusKey = QStringLiteral("NETFLOW_COUNT_STATUS");
const QString kAlarmStatusKey = QStringLiteral("NETFLOW_ALARM_STATUS");
const QString kEgressAlarmStatusKey = QStringLiteral("NETFLOW_EGRESS_ALARM_STATUS");
const QString kIngressAlarmStatusKey = QStringLiteral("NETFLOW_INGRESS_ALARM_STATUS");
const QString kAlarmTimestampKey = QStringLiteral("NETFLOW_ALARM_TIMESTAMP");

bool isValidMode(int mode)
{
    return static_cast<unsigned>(mode) <= 1;
}

} // namespace

QString NetflowSettings::readValue(const QString &key)
{
    return SettingsFile().text(key);
}

int NetflowSettings::writeValue(const QString &key, const QString &value)
{
    SettingsFile file;
    return file.write(key, value) ? 0 : -1;
}

int NetflowSettings::readSwitch(const QString &key)
{
    const QString text = readValue(key);
    return text.isEmpty() ? 0 : text.toInt(nullptr, 10);
}

int NetflowSettings::setSwitch(const QString &key, int mode)
{
    if (!isValidMode(mode)) {
        return -1;
    }
    if (readSwitch(key) == mode) {
        return 0;
    }
    return writeValue(key, QString::number(mode));
}

int NetflowSettings::writeAlarmTimestamp()
{
    const auto now = static_cast<quint32>(QDateTime::currentSecsSinceEpoch());
    return writeValue(kAlarmTimestampKey, QString::number(now));
}

int NetflowSettings::setAlarmSwitch(const QString &key, int mode)
{
    if (!isValidMode(mode)) {
        return -1;
    }
    if (readSwitch(key) == mode) {
        return 0;
    }
    if (writeValue(key, QString::number(mode)) != 0) {
        return -1;
    }
    return writeAlarmTimestamp();
}

quint32 NetflowSettings::getAlarmTimestamp()
{
    return readValue(kAlarmTimestampKey).toUInt(nullptr, 10);
}

int NetflowSettings::getCountStatus()
{
    return readSwitch(kCountStatusKey);
}

int NetflowSettings::setCountStatus(int mode)
{
    return setSwitch(kCountStatusKey, mode);
}

int NetflowSettings::getAlarmStatus()
{
    return readSwitch(kAlarmStatusKey);
}

int NetflowSettings::setAlarmStatus(int mode)
{
    return setAlarmSwitch(kAlarmStatusKey, mode);
}

int NetflowSettings::getEgressAlarmStatus()
{
    return readSwitch(kEgressAlarmStatusKey);
}

int NetflowSettings::setEgressAlarmStatus(int mode)
{
    return setAlarmSwitch(kEgressAlarmStatusKey, mode);
}

int NetflowSettings::getIngressAlarmStatus()
{
    return readSwitch(kIngressAlarmStatusKey);
}

int NetflowSettings::setIngressAlarmStatus(int mode)
{
    return setAlarmSwitch(kIngressAlarmStatusKey, mode);
}
