#include "meter_fixture.h"

#include <QFile>
#include <QFileInfo>
#include <ctime>

namespace metertest {
namespace {

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

} // namespace

qint64 utcMs(const char *text)
{
    tm t{};
    strptime(text, "%Y-%m-%d %H:%M:%S", &t);
    return qint64(timegm(&t)) * 1000;
}

void MeterTest::SetUp()
{
    setenv("TZ", "UTC", 1);
    tzset();
    testsupport::resetStateDir();
    ASSERT_EQ(settings_.setCountStatus(1), 0);
    clock_.wall = utcMs("2026-03-01 10:58:00");
    setInterface("eth0", FakeInterface{1000, 2000, 2, true});
}

void MeterTest::TearDown()
{
    meter_.reset();
    unsetenv("TZ");
    tzset();
}

void MeterTest::setInterface(const QByteArray &name, const FakeInterface &interface)
{
    interfaces_[name] = interface;
    const QString dir = root_.path() + QStringLiteral("/sys/class/net/") + QString::fromUtf8(name);
    QDir(dir).removeRecursively();
    writeFile(dir + QStringLiteral("/ifindex"), QByteArray::number(interface.ifindex) + '\n');
    if (interface.physical) {
        QDir().mkpath(dir + QStringLiteral("/device"));
    }
    writeProcNetDev();
}

void MeterTest::removeInterface(const QByteArray &name)
{
    interfaces_.erase(name);
    QDir(root_.path() + QStringLiteral("/sys/class/net/") + QString::fromUtf8(name))
        .removeRecursively();
    writeProcNetDev();
}

void MeterTest::move(const QByteArray &name, quint64 recv, quint64 sent)
{
    interfaces_[name].recv += recv;
    interfaces_[name].sent += sent;
    writeProcNetDev();
}

void MeterTest::step(qint64 ms)
{
    clock_.wall += ms;
    clock_.elapsed += ms;
    meter_->tick();
}

void MeterTest::startMeter(MeterOptions options)
{
    options.intervalMs = 10000;
    meter_ =
        std::make_unique<Meter>(options, clock_, InterfaceReader(root_.path()), sink_, nullptr);
    meter_->start();
}

vexmora::store::HourRecord MeterTest::row(const char *hour)
{
    vexmora::store::HourRecord record{-1, 0, 0, 0, 0, 0};
    EXPECT_EQ(vexmora::store::loadHourData(hour, record), 0);
    return record;
}

void MeterTest::writeProcNetDev()
{
    QByteArray text = "Inter-|   Receive |  Transmit\n face |bytes packets|bytes packets\n";
    for (const auto &[name, interface] : interfaces_) {
        text += "  " + name + ": " + QByteArray::number(interface.recv) + " 1 0 0 0 0 0 0 " +
                QByteArray::number(interface.sent) + " 1 0 0 0 0 0 0\n";
    }
    writeFile(root_.path() + QStringLiteral("/proc/net/dev"), text);
}

} // namespace metertest
