// The real meter on a private bus: an alarm crossed by real loopback traffic
// comes as AlarmRaised from the meter's name, in the log file and on stderr.
#include "private_bus.h"
#include "service_process.h"
#include "state_dir.h"
#include "vexmora_bus_names.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <thread>
#include <unistd.h>

using namespace testsupport;

namespace {

class AlarmListener : public QObject
{
    Q_OBJECT

public:
    QStringList alarms;

public Q_SLOTS:
    void onAlarm(const QString &kind, qulonglong bytes, qulonglong limit)
    {
        alarms << kind + QStringLiteral(" over %1: %2").arg(limit).arg(bytes > limit);
    }
};

// Sends bytes over a TCP connection on 127.0.0.1 and reads them back.
void loopbackTransfer(size_t bytes)
{
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    std::thread reader([listener, bytes] {
        const int peer = accept(listener, nullptr, nullptr);
        std::vector<char> buffer(65536);
        for (size_t got = 0; got < bytes;) {
            const ssize_t n = read(peer, buffer.data(), buffer.size());
            if (n <= 0) {
                break;
            }
            got += size_t(n);
        }
        close(peer);
    });
    const int sender = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(sender, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    const std::vector<char> chunk(65536, 'x');
    for (size_t sent = 0; sent < bytes; sent += chunk.size()) {
        ASSERT_GT(write(sender, chunk.data(), chunk.size()), 0);
    }
    close(sender);
    reader.join();
    close(listener);
}

TEST(MeterOnTheBus, AnAlarmCrossedByRealTrafficIsSignalledLoggedAndWrittenToStderr)
{
    resetStateDir();
    writeStateFile(QStringLiteral("setting.conf"),
                   "[Ostvane]\nNETFLOW_COUNT_STATUS=1\nNETFLOW_ALARM_STATUS=1\n"
                   "NETFLOW_ALARM_SIZE=4\nNETFLOW_ALARM_PERIOD=1\n");
    PrivateBus bus;
    ASSERT_TRUE(bus.start()) << bus.log().constData();
    QDBusConnection client = bus.connect(QStringLiteral("listener"));
    AlarmListener listener;
    ASSERT_TRUE(client.connect(QString::fromLatin1(vexmora::bus::kMeterServiceName),
                               QString::fromLatin1(vexmora::bus::kMeterObjectPath),
                               QString::fromLatin1(vexmora::bus::kMeterInterface),
                               QStringLiteral("AlarmRaised"), &listener,
                               SLOT(onAlarm(QString, qulonglong, qulonglong))));
    ServiceProcess meter(QStringLiteral(VEXMORA_METER_PATH),
                         {QStringLiteral("--interval=0.1"), QStringLiteral("--interfaces=lo")},
                         QString::fromLatin1(vexmora::bus::kMeterServiceName));
    ASSERT_TRUE(meter.start(bus.address(), client)) << meter.log().constData();

    loopbackTransfer(3 * 1024 * 1024); // lo counts it both ways: 6 MiB over 4
    const QDeadlineTimer deadline(10000);
    while (listener.alarms.isEmpty() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    EXPECT_EQ(listener.alarms, QStringList{QStringLiteral("overall over 4194304: 1")})
        << meter.log().constData();
    meter.stop();
    EXPECT_EQ(meter.exitCode(), 0);
    EXPECT_TRUE(meter.log().contains("Traffic alarm overall: ")) << meter.log().constData();
    EXPECT_TRUE(
        readStateFile(QStringLiteral("netflow.log")).contains("]  Traffic alarm overall: "));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include "meter_bus_test.moc"
