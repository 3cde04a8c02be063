#include "host_counter.h"

namespace vexmora::meter {
namespace {

// More than any link carries (400 Gbit/s): a reset may credit at most this
// for the time since the previous sample, with a second of slack.
constexpr quint64 kMaxBytesPerSecond = 50'000'000'000ULL;

quint64 plausibleSince(quint64 bytes, qint64 elapsedMs)
{
    const quint64 seconds = quint64(qMax<qint64>(elapsedMs, 0)) / 1000 + 1;
    return bytes <= kMaxBytesPerSecond * seconds ? bytes : 0;
}

// A counter that went down was reset and counts from zero again; a rise no
// link could carry is a glitch of the counter and credits nothing.
quint64 creditOne(quint64 previous, quint64 current, qint64 elapsedMs)
{
    return plausibleSince(current >= previous ? current - previous : current, elapsedMs);
}

// An interface index of 0 could not be read (the interface was going away):
// that alone does not make the interface a new one.
bool isRecreated(int previousIfindex, int ifindex)
{
    return previousIfindex != 0 && ifindex != 0 && previousIfindex != ifindex;
}

} // namespace

HostCounter::HostCounter(InterfaceReader reader, QByteArrayList names)
    : reader_(std::move(reader)), names_(std::move(names))
{}

void HostCounter::rebaseline()
{
    QHash<QByteArray, Baseline> current;
    if (readCounted(current)) {
        baselines_ = std::move(current);
    }
}

ByteCounts HostCounter::sample(qint64 elapsedMs)
{
    QHash<QByteArray, Baseline> current;
    if (!readCounted(current)) {
        // Without the counters nothing is known: the baselines stay, so that
        // the next read credits only what moved since them.
        return ByteCounts();
    }
    ByteCounts moved;
    for (auto it = current.cbegin(); it != current.cend(); ++it) {
        const auto previous = baselines_.constFind(it.key());
        const ByteCounts &now = it->bytes;
        if (previous == baselines_.cend() || isRecreated(previous->ifindex, it->ifindex)) {
            // New, or created anew under the same name: its counters started at zero.
            moved.recv += plausibleSince(now.recv, elapsedMs);
            moved.sent += plausibleSince(now.sent, elapsedMs);
            continue;
        }
        moved.recv += creditOne(previous->bytes.recv, now.recv, elapsedMs);
        moved.sent += creditOne(previous->bytes.sent, now.sent, elapsedMs);
    }
    baselines_ = std::move(current);
    return moved;
}

bool HostCounter::isCounted(const QByteArray &name, QHash<QByteArray, bool> &physicalNow)
{
    if (!names_.isEmpty()) {
        return names_.contains(name);
    }
    const auto known = physical_.constFind(name);
    const bool physical = known != physical_.cend() ? *known : reader_.isPhysical(name);
    physicalNow.insert(name, physical);
    return physical;
}

bool HostCounter::readCounted(QHash<QByteArray, Baseline> &counted)
{
    std::vector<InterfaceCounters> interfaces;
    if (!reader_.read(interfaces)) {
        return false;
    }
    // Only the interfaces present now stay known, however many come and go.
    QHash<QByteArray, bool> physicalNow;
    for (const InterfaceCounters &interface : interfaces) {
        if (isCounted(interface.name, physicalNow)) {
            counted.insert(interface.name,
                           Baseline{reader_.ifindex(interface.name), interface.bytes});
        }
    }
    physical_ = std::move(physicalNow);
    return true;
}

} // namespace vexmora::meter
