#pragma once

// A meter over a fake /proc and /sys, driven by a clock the test moves and
// raising its alarms into the test, with the real store and settings file in
// the scratch state directory.

#include "alarm_sink.h"
#include "meter.h"
#include "netflow_settings.h"
#include "state_dir.h"
#include "traffic_store.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <sqlite3.h>
#include <string>

namespace metertest {

using namespace vexmora::meter;

struct FakeInterface
{
    quint64 recv = 0;
    quint64 sent = 0;
    int ifindex = 1;
    bool physical = true;
};

// Milliseconds since the epoch of a UTC time "YYYY-MM-DDThh:mm:ssZ".
inline qint64 utcMs(const char *text)
{
    return QDateTime::fromString(QLatin1String(text), Qt::ISODate).toMSecsSinceEpoch();
}

inline constexpr char kBootId[] = "5f0c2a7e-8d1b-4c3e-9a6f-2b7d1e0c4a93";

// The warnings logged while it lives that contain `wanted`; without it, all but
// the one a meter without an attribution source gives at its start.
struct WarningLog
{
    explicit WarningLog(const char *wanted = "")
        : part(QLatin1String(wanted)), previous(qInstallMessageHandler(keep))
    {
        current = this;
    }
    ~WarningLog() { qInstallMessageHandler(previous), current = nullptr; }
    std::string text() const { return lines.join(QLatin1Char('\n')).toStdString(); }
    static void keep(QtMsgType type, const QMessageLogContext &, const QString &message)
    {
        if (type == QtWarningMsg && current != nullptr && message.contains(current->part) &&
            !(current->part.isEmpty() && message.startsWith(QLatin1String("No per-application"))))
            current->lines << message;
    }
    inline static WarningLog *current = nullptr;
    QString part;
    QtMessageHandler previous;
    QStringList lines;
};

class MeterTest : public testing::Test, public MeterClock, public AlarmSink
{
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        testsupport::resetStateDir();
        ASSERT_EQ(settings_.setCountStatus(1), 0);
        wallMs_ = utcMs("2026-03-01T10:58:00Z");
        setInterface("eth0", FakeInterface{1000, 2000, 2, true});
        setBootId(kBootId);
    }
    qint64 wallMs() const override { return wallMs_; }
    qint64 elapsedMs() const override { return elapsedMs_; }
    void raise(const AlarmEvent &event, qint64) override { alarms_.push_back(event); }
    void clear(AlarmKind kind) override { cleared_.push_back(kind); }

    // An interface with ifindex 0 is removed; with -1 it has no readable index.
    void setInterface(const QByteArray &name, const FakeInterface &interface)
    {
        const QString dir =
            root_.path() + QStringLiteral("/sys/class/net/") + QString::fromUtf8(name);
        QDir(dir).removeRecursively();
        interfaces_.erase(name);
        if (interface.ifindex != 0)
            interfaces_[name] = interface;
        if (interface.ifindex > 0)
            writeFile(dir + QStringLiteral("/ifindex"), QByteArray::number(interface.ifindex));
        if (interface.physical)
            QDir().mkpath(dir + QStringLiteral("/device"));
        writeProcNetDev();
    }
    // An empty id removes the file.
    void setBootId(const QByteArray &id)
    {
        const QString path = root_.path() + QStringLiteral("/proc/sys/kernel/random/boot_id");
        QFile::remove(path);
        if (!id.isEmpty())
            writeFile(path, id + '\n');
    }
    // Adds bytes to an interface's counters.
    void move(const QByteArray &name, quint64 recv, quint64 sent)
    {
        interfaces_[name].recv += recv;
        interfaces_[name].sent += sent;
        writeProcNetDev();
    }
    // The speed sysfs reports for an interface, in Mbit/s.
    void setLinkSpeed(const QByteArray &name, int megabits)
    {
        writeFile(root_.path() + QStringLiteral("/sys/class/net/") + QString::fromUtf8(name) +
                      QStringLiteral("/speed"),
                  QByteArray::number(megabits) + '\n');
    }
    // Moves both clocks by ms and lets the meter sample.
    void step(qint64 ms)
    {
        wallMs_ += ms;
        elapsedMs_ += ms;
        meter_->tick();
    }
    void startMeter()
    {
        MeterOptions options;
        options.intervalMs = 10000;
        options.maxAppsPerDay = maxAppsPerDay_;
        meter_ = std::make_unique<Meter>(options, *this, InterfaceReader(root_.path()), *alarmSink_,
                                         sources_);
        meter_->start();
    }
    static void sql(const char *statement)
    {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(vexmora::paths::kDatabaseFile, &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, statement, nullptr, nullptr, nullptr), SQLITE_OK)
            << statement << ": " << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
    // The one value a query of the database yields, as text; "NULL" for none.
    static std::string sumOf(const char *query)
    {
        sqlite3 *db = nullptr;
        sqlite3_stmt *statement = nullptr;
        std::string value = "(failed)";
        if (sqlite3_open(vexmora::paths::kDatabaseFile, &db) == SQLITE_OK &&
            sqlite3_prepare_v2(db, query, -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(statement, 0));
            value = text != nullptr ? text : "NULL";
        }
        sqlite3_finalize(statement);
        sqlite3_close(db);
        return value;
    }
    // The hour's stored row; mins -1 when there is none.
    vexmora::store::HourRecord row(const char *hour)
    {
        vexmora::store::HourRecord record{-1, 0, 0, 0, 0, 0};
        EXPECT_EQ(vexmora::store::loadHourData(hour, record), 0);
        return record;
    }

    qint64 wallMs_ = 0;
    qint64 elapsedMs_ = 1000000;
    int maxAppsPerDay_ = MeterOptions().maxAppsPerDay;
    std::vector<AlarmEvent> alarms_;
    std::vector<AlarmKind> cleared_;
    std::vector<SocketCountSource *> sources_; // the attribution's, tried in this order
    AlarmSink *alarmSink_ = this;
    QTemporaryDir root_;
    NetflowSettings settings_;
    std::unique_ptr<Meter> meter_; // destroyed first

private:
    static void writeFile(const QString &path, const QByteArray &content)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }
    void writeProcNetDev()
    {
        QByteArray text = "Inter-|   Receive |  Transmit\n face |bytes packets|bytes packets\n";
        for (const auto &[name, interface] : interfaces_)
            text += name + ": " + QByteArray::number(interface.recv) + " 1 0 0 0 0 0 0 " +
                    QByteArray::number(interface.sent) + " 1 0 0 0 0 0 0\n";
        writeFile(root_.path() + QStringLiteral("/proc/net/dev"), text);
    }

    std::map<QByteArray, FakeInterface> interfaces_;
};

} // namespace metertest
