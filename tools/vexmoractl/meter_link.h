#pragma once

#include <QDBusConnection>
#include <QDateTime>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace vexmora::ctl {

// The hour the meter is counting now as an hour report entry, its "status"
// saying so; empty when the meter does not answer or counts nothing.
QJsonObject currentHourEntry(QDBusConnection &bus);

// Prints the meter's alarms: those raised already, then each as it is raised
// and cleared, as the meter's RaisedAlarms property changes.
class AlarmPrinter : public QObject
{
    Q_OBJECT

public:
    AlarmPrinter();
    // False when the bus refuses the subscription.
    bool subscribe(QDBusConnection &bus);
    // The alarms raised now; nothing when the meter does not answer. Read after
    // subscribing, so that none goes missing in between.
    void printRaised(QDBusConnection &bus);

public Q_SLOTS:
    void propertiesChanged(const QString &interface, const QVariantMap &changed,
                           const QStringList &invalidated);
    // A meter that starts holds no alarm raised; one that stops holds none either.
    void ownerChanged();

private:
    struct Raised
    {
        qulonglong bytes = 0;
        qulonglong limit = 0;
        qlonglong since = 0;
    };
    // Prints what differs between the alarms known and ALARMS, which become known.
    void show(const QVariant &alarms);

    QMap<QString, Raised> known_; // by kind
};

QString describeAlarm(const QDateTime &when, const QString &kind, quint64 bytes, quint64 limit);

} // namespace vexmora::ctl
