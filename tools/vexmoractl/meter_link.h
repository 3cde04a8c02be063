#pragma once

#include <QDBusConnection>
#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>

namespace vexmora::ctl {

// The hour the meter is counting now as an hour report entry, its "status"
// saying so; empty when the meter does not answer or counts nothing.
QJsonObject currentHourEntry(QDBusConnection &bus);

// Prints the meter's alarms: those raised already, then each as it is raised
// and cleared.
class AlarmPrinter : public QObject
{
    Q_OBJECT

public:
    // False when the bus refuses the subscription.
    bool subscribe(QDBusConnection &bus);
    // The alarms raised now; nothing when the meter does not answer. Read after
    // subscribing, so that none goes missing in between.
    void printRaised(QDBusConnection &bus);

public Q_SLOTS:
    void print(const QString &kind, qulonglong bytes, qulonglong limit);
    void printCleared(const QString &kind);
};

QString describeAlarm(const QDateTime &when, const QString &kind, quint64 bytes, quint64 limit);

} // namespace vexmora::ctl
