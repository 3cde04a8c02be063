// outputs/: what the meter shows outside: the bus object, alarm announcements, the textfile.
// May use host/, alarms/, the attribution's types and the settings' log writer.
#pragma once

#include "current_hour.h"

#include <QDBusConnection>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

namespace vexmora::meter {

// The meter on the system bus: owns its name, exports its object, sends
// AlarmRaised and AlarmCleared, answers GetCurrentHour and GetRaisedAlarms,
// and serves the same as properties, announcing each change of them.
// Counting never waits for the bus: without one, alarms go to the log only,
// and the meter joins the bus again whenever it can, where GetRaisedAlarms
// tells what the signals missed meanwhile.
class MeterBus : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QVariantMap CurrentHour READ currentHourProperty)
    Q_PROPERTY(QList<QVariantMap> RaisedAlarms READ raisedAlarmsProperty)
    Q_PROPERTY(bool Counting READ counting)

public:
    explicit MeterBus(QObject *parent = nullptr);
    ~MeterBus() override;

    // Joins the bus now, and again after every loss of it.
    void start();
    // Keeps the alarm's state for GetRaisedAlarms and sends its signal when on the bus.
    void announceRaised(const QString &kind, quint64 bytes, quint64 limit);
    void announceCleared(const QString &kind);
    // Serves what METER counts (its currentHour() and counting()) and
    // announces their changes at every sampled() it signals.
    template <typename Counter> void follow(Counter &meter)
    {
        follow([&meter] { return meter.currentHour(); }, [&meter] { return meter.counting(); });
        connect(&meter, &Counter::sampled, this, &MeterBus::publishChanges);
    }
    void follow(std::function<CurrentHour()> currentHour, std::function<bool()> counting);
    // Sends PropertiesChanged with the properties that differ from what was
    // last announced; nothing when none does.
    void publishChanges();

    QVariantMap currentHourProperty() const;
    QList<QVariantMap> raisedAlarmsProperty() const;
    bool counting() const { return counting_ && counting_(); }

public Q_SLOTS:
    QString GetCurrentHour();
    QString GetRaisedAlarms();

Q_SIGNALS:
    void AlarmRaised(const QString &kind, qulonglong bytes, qulonglong limit);
    void AlarmCleared(const QString &kind);

private Q_SLOTS:
    void tryToConnect();
    void onDisconnected();

private:
    void leave();

    struct RaisedAlarm
    {
        quint64 bytes = 0;
        quint64 limit = 0;
        qint64 since = 0;
    };
    struct Announced
    {
        QVariantMap currentHour;
        QList<QVariantMap> raisedAlarms;
        bool counting = false;
    };

    std::function<CurrentHour()> currentHour_;
    std::function<bool()> counting_;
    QMap<QString, RaisedAlarm> raised_; // by kind
    Announced announced_;
    QTimer retry_;
    QString connectionName_;
    int attempts_ = 0;
    bool connected_ = false;
    bool warnedUnreachable_ = false;
    bool warnedName_ = false;
};

} // namespace vexmora::meter
