#include "snapshot_json.h"

#include "sqlite_handles.h"

#include <algorithm>
#include <cjson/cJSON.h>

namespace vexmora::meter {
namespace {

using store::Json;

// Bytes per second, whole.
double rate(quint64 bytes, double seconds)
{
    return seconds > 0 ? double(quint64(double(bytes) / seconds)) : 0;
}

void addTraffic(cJSON *entry, const TrafficTally &bytes, double seconds)
{
    cJSON_AddNumberToObject(entry, "up", double(bytes.total.sent));
    cJSON_AddNumberToObject(entry, "down", double(bytes.total.recv));
    cJSON_AddNumberToObject(entry, "up_rate", rate(bytes.recent.sent, seconds));
    cJSON_AddNumberToObject(entry, "down_rate", rate(bytes.recent.recv, seconds));
}

template <typename Key, typename Value>
std::vector<typename QHash<Key, Value>::const_iterator> busiest(const QHash<Key, Value> &all,
                                                                quint64 (*total)(const Value &))
{
    std::vector<typename QHash<Key, Value>::const_iterator> order;
    for (auto it = all.cbegin(); it != all.cend(); ++it) {
        order.push_back(it);
    }
    const auto busier = [total](auto a, auto b) { return total(*a) > total(*b); };
    const size_t kept = std::min(order.size(), size_t(kMaxSnapshotEntries));
    std::partial_sort(order.begin(), order.begin() + ptrdiff_t(kept), order.end(), busier);
    order.resize(kept);
    return order;
}

QByteArray printed(cJSON *array)
{
    const store::JsonText text(cJSON_PrintUnformatted(array));
    return text ? QByteArray(text.get()) : QByteArrayLiteral("[]");
}

} // namespace

QByteArray appSnapshotJson(const AppLedger &ledger, double seconds)
{
    const Json array(cJSON_CreateArray());
    const auto total = [](const TrafficTally &app) { return app.total.total(); };
    for (const auto &it : busiest<QString, TrafficTally>(ledger.appsToday(), total)) {
        cJSON *entry = cJSON_CreateObject();
        cJSON_AddStringToObject(entry, "app", it.key().toUtf8().constData());
        addTraffic(entry, *it, seconds);
        cJSON_AddItemToArray(array.get(), entry);
    }
    return printed(array.get());
}

QByteArray processSnapshotJson(const AppLedger &ledger, double seconds)
{
    const Json array(cJSON_CreateArray());
    const auto total = [](const ProcessTally &process) { return process.bytes.total.total(); };
    for (const auto &it : busiest<qint64, ProcessTally>(ledger.processes(), total)) {
        cJSON *entry = cJSON_CreateObject();
        cJSON_AddNumberToObject(entry, "pid", double(it.key()));
        cJSON_AddStringToObject(entry, "name", it->name.toUtf8().constData());
        cJSON_AddStringToObject(entry, "app", it->app.toUtf8().constData());
        addTraffic(entry, it->bytes, seconds);
        cJSON_AddItemToArray(array.get(), entry);
    }
    return printed(array.get());
}

} // namespace vexmora::meter
