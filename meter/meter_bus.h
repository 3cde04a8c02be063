#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

namespace vexmora::meter {

// The meter on the system bus: owns its name, exports its object, sends
// AlarmRaised and answers GetCurrentHour. Counting never waits for the bus:
// without one, alarms go to the log only, and the meter joins the bus again
// whenever it can.
class MeterBus : public QObject
{
    Q_OBJECT

public:
    explicit MeterBus(QObject *parent = nullptr);
    ~MeterBus() override;

    // Joins the bus now, and again after every loss of it.
    void start();
    // Sends the signal when on the bus.
    void announce(const QString &kind, quint64 bytes, quint64 limit);
    void setCurrentHourSource(std::function<QString()> source) { currentHour_ = std::move(source); }

public Q_SLOTS:
    QString GetCurrentHour();

Q_SIGNALS:
    void AlarmRaised(const QString &kind, qulonglong bytes, qulonglong limit);

private Q_SLOTS:
    void tryToConnect();
    void onDisconnected();

private:
    void leave();

    std::function<QString()> currentHour_;
    QTimer retry_;
    QString connectionName_;
    int attempts_ = 0;
    bool connected_ = false;
    bool warnedUnreachable_ = false;
    bool warnedName_ = false;
};

} // namespace vexmora::meter
