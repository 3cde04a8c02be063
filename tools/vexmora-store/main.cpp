// vexmora-store: the traffic store's write interface, callable from a shell.
#include "store_arguments.h"
#include "traffic_store.h"

#include <QString>
#include <cstdio>
#include <limits>

using namespace vexmora::store;

using namespace vexmora::storecli;

namespace {

enum ExitCode { kDone = 0, kStoreFailed = 1, kBadUsage = 2 };

void write(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

// The lookup leaves the record alone when the hour has no row, so it starts
// out holding values no measurement produces.
HourRecord absentRecord()
{
    constexpr int32_t int32Min = std::numeric_limits<int32_t>::min();
    constexpr int64_t int64Min = std::numeric_limits<int64_t>::min();
    return HourRecord{int32Min, int64Min, int64Min, int32Min, int32Min, int32Min};
}

bool isAbsent(const HourRecord &record)
{
    const HourRecord absent = absentRecord();
    return record.mins == absent.mins && record.recv == absent.recv && record.sent == absent.sent &&
           record.recv_peak == absent.recv_peak && record.sent_peak == absent.sent_peak &&
           record.total_peak == absent.total_peak;
}

int loadHour(const QByteArray &hour)
{
    HourRecord record = absentRecord();
    if (loadHourData(hour.constData(), record) != 0) {
        return kStoreFailed;
    }
    const QString hourText = QString::fromLatin1(hour);
    if (isAbsent(record)) {
        write(stdout, QStringLiteral("no row for hour ") + hourText + QLatin1Char('\n'));
        return kDone;
    }
    const QString lines[] = {
        QStringLiteral("hour ") + hourText,
        QStringLiteral("mins ") + QString::number(record.mins),
        QStringLiteral("recv ") + QString::number(record.recv),
        QStringLiteral("sent ") + QString::number(record.sent),
        QStringLiteral("recv_peak ") + QString::number(record.recv_peak),
        QStringLiteral("sent_peak ") + QString::number(record.sent_peak),
        QStringLiteral("total_peak ") + QString::number(record.total_peak),
    };
    for (const QString &line : lines) {
        write(stdout, line + QLatin1Char('\n'));
    }
    return kDone;
}

int run(const StoreRequest &request)
{
    switch (request.operation) {
    case Operation::AddApp:
        return addAppTraffic(request.text.constData(), request.recv, request.sent) == 0
                   ? kDone
                   : kStoreFailed;
    case Operation::SaveHour:
        return saveHourData(request.text.constData(), request.record) == 0 ? kDone : kStoreFailed;
    case Operation::LoadHour:
        return loadHour(request.text);
    case Operation::Purge:
        purgeOldRows(request.text.constData(), request.days);
        return kDone;
    default:
        write(stdout, storeUsageText(QString::fromLatin1(request.text)));
        return kDone;
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QList<QByteArray> arguments;
    for (int index = 1; index < argc; ++index) {
        arguments.append(QByteArray(argv[index]));
    }
    const StoreParseResult parsed = parseStoreArguments(arguments);
    if (!parsed.error.isEmpty()) {
        write(stderr, QStringLiteral("vexmora-store: ") + parsed.error + QStringLiteral("\n\n") +
                          storeUsageText(parsed.usageTopic));
        return kBadUsage;
    }
    return run(parsed.request);
}
