// The meter's properties on a private bus: what a client reads, and the
// PropertiesChanged that announces each change, none for a sample that
// changed nothing.
#include "meter_bus.h"
#include "meter_fixture.h"
#include "private_bus.h"
#include "vexmora_bus_names.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMetaType>
#include <QElapsedTimer>
#include <deque>

using namespace metertest;

namespace {

constexpr quint64 kMiB = 1024 * 1024;

// Keeps each PropertiesChanged of the meter's interface as it comes.
class ChangeRecorder : public QObject
{
    Q_OBJECT

public:
    // The next change; empty when none came within five seconds.
    QVariantMap next()
    {
        QElapsedTimer waited;
        waited.start();
        while (changes_.empty() && waited.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (changes_.empty())
            return {};
        const QVariantMap change = changes_.front();
        changes_.pop_front();
        return change;
    }

public Q_SLOTS:
    void changed(const QString &interface, const QVariantMap &properties, const QStringList &)
    {
        if (interface == QLatin1String(vexmora::bus::kMeterInterface))
            changes_.push_back(properties);
    }

private:
    std::deque<QVariantMap> changes_;
};

QVariantMap hourIn(const QVariantMap &change)
{
    return qdbus_cast<QVariantMap>(change.value(QStringLiteral("CurrentHour")));
}

QStringList raisedKindsIn(const QVariantMap &change)
{
    QStringList kinds;
    for (const QVariantMap &alarm :
         qdbus_cast<QList<QVariantMap>>(change.value(QStringLiteral("RaisedAlarms"))))
        kinds << alarm.value(QStringLiteral("kind")).toString();
    return kinds;
}

class MeterBusTest : public MeterTest
{
protected:
    void SetUp() override
    {
        MeterTest::SetUp();
        qDBusRegisterMetaType<QList<QVariantMap>>();
        ASSERT_TRUE(bus_.start());
        setenv("DBUS_SYSTEM_BUS_ADDRESS", qPrintable(bus_.address()), 1);
        alarmSink_ = &announcer_;
        client_ = bus_.connect(QStringLiteral("client"));
        ASSERT_TRUE(client_.connect(QString::fromLatin1(vexmora::bus::kMeterServiceName),
                                    QString::fromLatin1(vexmora::bus::kMeterObjectPath),
                                    QStringLiteral("org.freedesktop.DBus.Properties"),
                                    QStringLiteral("PropertiesChanged"), &recorder_,
                                    SLOT(changed(QString, QVariantMap, QStringList))));
    }
    void TearDown() override
    {
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        MeterTest::TearDown();
    }
    void startOnTheBus()
    {
        startMeter();
        meterBus_.follow(*meter_);
        meterBus_.start();
        ASSERT_TRUE(testsupport::waitForName(client_,
                                             QString::fromLatin1(vexmora::bus::kMeterServiceName)));
    }

    testsupport::PrivateBus bus_;
    QDBusConnection client_{QString()};
    ChangeRecorder recorder_;
    MeterBus meterBus_;
    AlarmAnnouncer announcer_{meterBus_};
};

TEST_F(MeterBusTest, PropertiesChangedComesWhenTheHourOrTheAlarmsChangeAndNotOtherwise)
{
    ASSERT_EQ(settings_.setAlarmStatus(1), 0);
    ASSERT_EQ(settings_.setAlarmThreshold(1, 1), 0); // 1 MiB over 1 minute
    startOnTheBus();                                 // 10:58:00
    EXPECT_EQ(meterBus_.currentHourProperty().value(QStringLiteral("time")),
              QStringLiteral("2026-03-01 10:00"));
    EXPECT_TRUE(meterBus_.counting());

    step(10000); // nothing moved: nothing to announce
    move("eth0", 2 * kMiB, 0);
    step(10000);
    // Ordered by the bus: a change announced by the quiet sample would come first.
    const QVariantMap raised = recorder_.next();
    EXPECT_EQ(raisedKindsIn(raised), QStringList{QStringLiteral("overall")});
    EXPECT_EQ(hourIn(raised).value(QStringLiteral("recv")).toULongLong(), 2 * kMiB);
    EXPECT_EQ(hourIn(raised).value(QStringLiteral("mins")).toInt(), 1);

    move("eth0", 0, 5);
    step(10000);
    const QVariantMap sent = recorder_.next();
    EXPECT_EQ(hourIn(sent).value(QStringLiteral("sent")).toULongLong(), 5u);
    EXPECT_FALSE(sent.contains(QStringLiteral("RaisedAlarms"))) << "only what changed";

    step(61000); // the window empties, and a new minute is covered
    const QVariantMap cleared = recorder_.next();
    EXPECT_TRUE(cleared.contains(QStringLiteral("RaisedAlarms")));
    EXPECT_EQ(raisedKindsIn(cleared), QStringList());
    EXPECT_EQ(hourIn(cleared).value(QStringLiteral("mins")).toInt(), 2);

    ASSERT_EQ(settings_.setCountStatus(0), 0);
    step(10000);
    const QVariantMap off = recorder_.next();
    EXPECT_EQ(off.value(QStringLiteral("Counting")), QVariant(false));
    EXPECT_TRUE(hourIn(off).isEmpty());
}

} // namespace

#include "meter_bus_test.moc"
