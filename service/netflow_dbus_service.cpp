#include "netflow_dbus_service.h"

#include "traffic_reports.h"

#include <cjson/cJSON.h>

namespace {

// Takes ownership of text printed by cJSON and decodes it as UTF-8.
QString takeJsonText(char *text)
{
    const QString result = text != nullptr ? QString::fromUtf8(text) : QString();
    cJSON_free(text);
    return result;
}

QString printAndDelete(cJSON *array)
{
    char *text = array != nullptr ? cJSON_PrintUnformatted(array) : nullptr;
    cJSON_Delete(array);
    return takeJsonText(text);
}

} // namespace

NetflowDBusService::NetflowDBusService(QObject *parent)
    : QObject(parent), settings_(std::make_unique<NetflowSettings>())
{}

NetflowDBusService::~NetflowDBusService() = default;

int NetflowDBusService::setNetmonitorStatus(int mode)
{
    return settings_->setCountStatus(mode);
}

int NetflowDBusService::getNetmonitorStatus()
{
    return settings_->getCountStatus();
}

int NetflowDBusService::setNetmonitorAlarmStatus(int mode)
{
    return settings_->setAlarmStatus(mode);
}

int NetflowDBusService::getNetmonitorAlarmStatus()
{
    return settings_->getAlarmStatus();
}

int NetflowDBusService::setNetmonitorThreshold(int size, int period)
{
    return settings_->setAlarmThreshold(size, period);
}

QString NetflowDBusService::getNetmonitorThreshold()
{
    return settings_->getAlarmThreshold();
}

int NetflowDBusService::setEgressAlarmStatus(int mode)
{
    return settings_->setEgressAlarmStatus(mode);
}

int NetflowDBusService::getEgressAlarmStatus()
{
    return settings_->getEgressAlarmStatus();
}

int NetflowDBusService::setEgressThreshold(int size, int period)
{
    return settings_->setEgressThreshold(size, period);
}

QString NetflowDBusService::getEgressThreshold()
{
    return settings_->getEgressThreshold();
}

int NetflowDBusService::setIngressAlarmStatus(int mode)
{
    return settings_->setIngressAlarmStatus(mode);
}

int NetflowDBusService::getIngressAlarmStatus()
{
    return settings_->getIngressAlarmStatus();
}

int NetflowDBusService::setIngressThreshold(int size, int period)
{
    return settings_->setIngressThreshold(size, period);
}

QString NetflowDBusService::getIngressThreshold()
{
    return settings_->getIngressThreshold();
}

QString NetflowDBusService::getAllAppNetflow()
{
    return settings_->readAppInfo();
}

QString NetflowDBusService::getAllProcessNetflow()
{
    return settings_->readProcessInfo();
}

QString NetflowDBusService::getRecentTop10(int day)
{
    return trimmedAfter(printAndDelete(vexmora::store::queryRecentTop10(day)));
}

QString NetflowDBusService::getRecentData(int day)
{
    return trimmedAfter(printAndDelete(vexmora::store::queryRecentData(day)));
}

QString NetflowDBusService::getReportData()
{
    return trimmedAfter(takeJsonText(vexmora::store::buildReportData()));
}

QString NetflowDBusService::trimmedAfter(QString reply)
{
    heapTrim_.afterReply(reply);
    return reply;
}
