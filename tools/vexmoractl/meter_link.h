#pragma once

#include <QDBusConnection>
#include <QJsonObject>
#include <QObject>
#include <QString>

namespace vexmora::ctl {

// The hour the meter is counting now as an hour report entry, its "status"
// saying so; empty when the meter does not answer or counts nothing.
QJsonObject currentHourEntry(QDBusConnection &bus);

// Prints the meter's AlarmRaised signals as they come.
class AlarmPrinter : public QObject
{
    Q_OBJECT

public:
    // False when the bus refuses the subscription.
    bool subscribe(QDBusConnection &bus);

public Q_SLOTS:
    void print(const QString &kind, qulonglong bytes, qulonglong limit);
};

QString describeAlarm(const QString &kind, quint64 bytes, quint64 limit);

} // namespace vexmora::ctl
