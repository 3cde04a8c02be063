#include "bench_sections.h"

#include "bare_statements.h"
#include "bench_concurrency.h"
#include "bench_database.h"
#include "process_memory.h"
#include "vexmora_paths.h"

#include <QDateTime>
#include <QFileInfo>
#include <QThread>
#include <stdexcept>

namespace bench {
namespace {

constexpr double kReportSlack = 1.2;
constexpr double kGetterSlack = 1.3;
constexpr double kSetterSlack = 1.5;
// Reports may take this many times their bare SQLite time (getRecentData
// also two Pings more, for the bus and the reply of its size).
constexpr double kReportFactor = 3;
constexpr double kThroughputShare = 0.70;
constexpr qint64 kIdleLimitKiB = 10 * 1024;
constexpr qint64 kGrowthLimitKiB = 1024;
constexpr qint64 kAnonymousAfterReportsKiB = 1536;
constexpr int kConcurrentClients = 8;

QDBusMessage call(const char *method, const QVariantList &arguments = {})
{
    return BusClient::methodCall(QString::fromLatin1(method), arguments);
}

std::string label(const QDBusMessage &message)
{
    QStringList arguments;
    for (const QVariant &argument : message.arguments()) {
        arguments << argument.toString();
    }
    const QString text =
        message.member() + QLatin1Char('(') + arguments.join(QLatin1Char(',')) + QLatin1Char(')');
    return text.toStdString();
}

std::string micros(const Summary &summary)
{
    return format("%.0f µs (%.0f)", summary.median, summary.p90);
}

int countEntries(const QString &report)
{
    return report.count(QStringLiteral("\"time\":"));
}

double throughput(BenchContext &context, const QVector<QDBusMessage> &rotation)
{
    return concurrentThroughput(context.busAddress, kConcurrentClients, rotation,
                                3000 / context.sampleDivisor + 200);
}

QVector<QDBusMessage> memoryMix()
{
    const QVector<QDBusMessage> cheap = getterCalls() + snapshotCalls() + unchangedSetterCalls();
    QVector<QDBusMessage> mix;
    // One call in twenty-five is a report.
    for (const QDBusMessage &report :
         {call("getRecentTop10", {7}), call("getRecentData", {7}), call("getReportData")}) {
        mix += cheap;
        mix += cheap;
        mix.append(report);
    }
    return mix;
}

void sendRotation(BusClient &client, const QVector<QDBusMessage> &rotation, int count)
{
    for (int i = 0; i < count; ++i) {
        client.send(rotation[i % rotation.size()]);
    }
}

Resident residentAtIdle(const BenchContext &context)
{
    QThread::msleep(500);
    return residentKiB(context.servicePid);
}

void addResidentRow(BenchContext &context, const char *measure, const Resident &resident)
{
    context.table.addCheck({"g", measure, format("%lld KiB", resident.total),
                            format("anonymous %lld KiB, file-backed %lld KiB; Pss %lld KiB",
                                   resident.anonymous, resident.fileBacked, resident.proportional),
                            "≤ 10 MiB (10240 KiB)"},
                           resident.total <= kIdleLimitKiB);
}

} // namespace

QVector<QDBusMessage> getterCalls()
{
    return {call("getNetmonitorStatus"),    call("getNetmonitorAlarmStatus"),
            call("getEgressAlarmStatus"),   call("getIngressAlarmStatus"),
            call("getNetmonitorThreshold"), call("getEgressThreshold"),
            call("getIngressThreshold")};
}

QVector<QDBusMessage> snapshotCalls()
{
    return {call("getAllAppNetflow"), call("getAllProcessNetflow")};
}

QVector<QDBusMessage> unchangedSetterCalls()
{
    return {call("setNetmonitorStatus", {1}), call("setEgressAlarmStatus", {0}),
            call("setEgressThreshold", {1024, 30})};
}

void measureReports(BenchContext &context)
{
    context.client.send(call("getReportData")); // hands out whatever is pending
    struct ReportCase
    {
        QDBusMessage message;
        int (*bare)(int);
        int days;
        bool checked;
    };
    const ReportCase cases[] = {{call("getRecentTop10", {7}), bareRecentTop10, 7, false},
                                {call("getRecentTop10", {30}), bareRecentTop10, 30, false},
                                {call("getRecentData", {7}), bareRecentData, 7, true},
                                {call("getRecentData", {30}), bareRecentData, 30, true}};
    const int count = context.samples(300);
    for (const ReportCase &report : cases) {
        const Summary bare = measure(count, [&] { report.bare(report.days); });
        const PairedSummary paired = measureAgainstPing(context.client, report.message, count);
        ResultRow row{"b", label(report.message), micros(paired.method),
                      format("Ping %.0f µs; bare SQLite %.0f µs", paired.ping.median, bare.median),
                      "—"};
        if (!report.checked) {
            context.table.add(std::move(row));
            continue;
        }
        const double limit = kReportFactor * bare.median + 2 * paired.ping.median;
        row.target = format("≤ 3 × bare + 2 Ping = %.0f µs", limit);
        context.table.addCheck(std::move(row), paired.method.median <= limit);
    }
    const Summary bare = measure(count, [] { bareReportData(); });
    const PairedSummary paired = measureAgainstPing(context.client, call("getReportData"), count);
    const double limit = kReportSlack * (bare.median + 2 * paired.ping.median);
    context.table.addCheck({"c", "getReportData(), nothing pending", micros(paired.method),
                            format("Ping %.0f µs; bare SQLite %.0f µs (%.0f)", paired.ping.median,
                                   bare.median, bare.p90),
                            format("≤ 1.2 × (bare + 2 Ping) = %.0f µs", limit)},
                           paired.method.median <= limit);
}

void measurePendingHours(BenchContext &context, int hours)
{
    const QDBusMessage report = call("getReportData");
    std::vector<double> samples;
    std::vector<double> bareSamples;
    int replyChars = 0;
    for (int i = 0; i < context.samples(15); ++i) {
        markAllHoursPending();
        bareSamples.push_back(timeMicros([] { bareReportData(); }));
        markAllHoursPending();
        QString text;
        samples.push_back(timeMicros([&] { text = context.client.text(report); }));
        if (countEntries(text) != hours) {
            throw std::runtime_error("getReportData did not hand out every pending hour");
        }
        replyChars = text.size();
    }
    const Summary summary = summarize(samples);
    const Summary bare = summarize(bareSamples);
    const Resident after = residentAtIdle(context);
    addResidentRow(context, "RSS at idle, after the pending-hours reports", after);
    context.table.addCheck({"g", "anonymous memory 0.5 s after the last of them",
                            format("%lld KiB", after.anonymous),
                            format("Pss %lld KiB", after.proportional), "≤ 1.5 MiB (1536 KiB)"},
                           after.anonymous >= 0 && after.anonymous <= kAnonymousAfterReportsKiB);
    context.table.addCheck(
        {"d", format("getReportData(), %d hours pending", hours),
         format("%.1f ms (%.1f)", summary.median / 1000, summary.p90 / 1000),
         format("bare SQLite %.1f ms; reply %d chars", bare.median / 1000, replyChars),
         format("≤ 3 × bare = %.1f ms", kReportFactor * bare.median / 1000)},
        summary.median <= kReportFactor * bare.median);
}

namespace {

struct SmallCall
{
    std::string label;
    std::function<void()> send;
    double slack; // 0: shown for reference only
};

// What any call to the service object costs before its slot runs: QtDBus
// hands the call to the main thread, finds no such method there and answers
// with an error.
SmallCall dispatchFloor(BusClient &client)
{
    const QDBusMessage unknown = call("noSuchMethod");
    const QString error = QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod");
    return {"noSuchMethod() → UnknownMethod (dispatch floor)",
            [&client, unknown, error] { client.sendRefused(unknown, error); }, 0};
}

std::vector<SmallCall> smallCalls(BusClient &client)
{
    std::vector<SmallCall> calls = {dispatchFloor(client)};
    const auto add = [&](const QVector<QDBusMessage> &messages, double slack) {
        for (const QDBusMessage &message : messages) {
            calls.push_back({label(message), [&client, message] { client.send(message); }, slack});
        }
    };
    add(getterCalls() + snapshotCalls(), kGetterSlack);
    add(unchangedSetterCalls(), kSetterSlack);
    return calls;
}

void addPingRatioRow(BenchContext &context, const SmallCall &call, const PairedSummary &paired)
{
    const double ratio = paired.method.median / paired.ping.median;
    ResultRow row{"e", call.label, micros(paired.method),
                  format("Ping %.0f µs; ratio %.2f", paired.ping.median, ratio),
                  call.slack > 0 ? format("≤ %.1f × Ping", call.slack) : "—"};
    if (call.slack > 0) {
        context.table.addCheck(std::move(row), ratio <= call.slack);
    } else {
        context.table.add(std::move(row));
    }
}

} // namespace

void measureSmallCalls(BenchContext &context)
{
    const QFileInfo settings(QString::fromUtf8(vexmora::paths::kSettingsFile));
    const QDateTime writtenBefore = settings.lastModified();
    const std::vector<SmallCall> calls = smallCalls(context.client);
    std::vector<std::function<void()>> senders;
    for (const SmallCall &call : calls) {
        senders.push_back(call.send);
    }
    const std::vector<PairedSummary> summaries =
        measureInTurnAgainstPing(context.client, senders, context.samples(3000));
    for (size_t i = 0; i < calls.size(); ++i) {
        addPingRatioRow(context, calls[i], summaries[i]);
    }
    if (QFileInfo(settings.filePath()).lastModified() != writtenBefore) {
        throw std::runtime_error("a setter that should change nothing wrote the settings file");
    }
}

void measureConcurrency(BenchContext &context)
{
    const QVector<QDBusMessage> pings = {BusClient::pingCall()};
    const QVector<QDBusMessage> getters = getterCalls();
    // Alternating rounds, so that both see the same machine load.
    std::vector<double> pingRounds;
    std::vector<double> getterRounds;
    for (int round = 0; round < 3; ++round) {
        pingRounds.push_back(throughput(context, pings));
        getterRounds.push_back(throughput(context, getters));
    }
    const double ping = summarize(pingRounds).median;
    const double getter = summarize(getterRounds).median;
    context.table.addCheck({"f", format("%d clients, getters", kConcurrentClients),
                            format("%.0f calls/s (%.0f %% of Ping)", getter, 100 * getter / ping),
                            format("Ping %.0f calls/s", ping), "≥ 70 % of Ping"},
                           getter >= kThroughputShare * ping);
}

void measureMemory(BenchContext &context, const Resident &atStart)
{
    addResidentRow(context, "RSS at idle, right after start", atStart);
    const QVector<QDBusMessage> mix = memoryMix();
    sendRotation(context.client, mix, context.samples(10000));
    const Resident warm = residentAtIdle(context);
    addResidentRow(context, "RSS at idle, after warm-up", warm);
    const int calls = context.samples(100000);
    sendRotation(context.client, mix, calls);
    const Resident after = residentAtIdle(context);
    const qint64 growth = after.total - warm.total;
    context.table.addCheck(
        {"g", format("RSS growth over %d mixed calls", calls), format("%lld KiB", growth),
         format("anonymous %+lld KiB", after.anonymous - warm.anonymous), "≤ 1 MiB (1024 KiB)"},
        after.total >= 0 && warm.total >= 0 && growth <= kGrowthLimitKiB);
}

} // namespace bench
