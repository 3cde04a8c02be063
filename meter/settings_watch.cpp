#include "settings_watch.h"

#include "netflow_settings.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace vexmora::meter {
namespace {

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

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

} // namespace

SettingsWatch::SettingsWatch(QString path) : path_(std::move(path)) {}

bool SettingsWatch::poll(MeterSettings &settings)
{
    struct stat now
    {
    };
    if (::stat(path_.toLocal8Bit().constData(), &now) != 0) {
        now = {};
    }
    if (!first_ && sameFile(now, seen_)) {
        return false;
    }
    first_ = false;
    seen_ = now;
    settings = readMeterSettings();
    return true;
}

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

} // namespace vexmora::meter
