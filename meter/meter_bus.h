#pragma once

#include <QDBusConnection>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

namespace vexmora::meter {

// The meter on the system bus: owns its name, exports its object, sends
// AlarmRaised and AlarmCleared and answers GetCurrentHour and GetRaisedAlarms.
// Counting never waits for the bus: without one, alarms go to the log only,
// and the meter joins the bus again whenever it can, where GetRaisedAlarms
// tells what the signals missed meanwhile.
class MeterBus : public QObject
{
    Q_OBJECT

public:
    explicit MeterBus(QObject *parent = nullptr);
    ~MeterBus() override;

    // Joins the bus now, and again after every loss of it.
    void start();
    // Keeps the alarm's state for GetRaisedAlarms and sends its signal when on the bus.
    void announceRaised(const QString &kind, quint64 bytes, quint64 limit);
    void announceCleared(const QString &kind);
    void setCurrentHourSource(std::function<QString()> source) { currentHour_ = std::move(source); }

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

    std::function<QString()> currentHour_;
    QMap<QString, QJsonObject> raised_; // by kind
    QTimer retry_;
    QString connectionName_;
    int attempts_ = 0;
    bool connected_ = false;
    bool warnedUnreachable_ = false;
    bool warnedName_ = false;
};

} // namespace vexmora::meter
