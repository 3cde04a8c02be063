#include "host_counter.h"

#include <QDebug>
#include <limits>

namespace vexmora::meter {
namespace {

// More than any link carries (400 Gbit/s): a reset may credit at most this
// for the time since the previous sample, with a second of slack.
constexpr quint64 kMaxBytesPerSecond = 50'000'000'000ULL;

bool isPlausible(quint64 bytes, qint64 elapsedMs)
{
    const quint64 seconds = quint64(qMax<qint64>(elapsedMs, 0)) / 1000 + 1;
    return bytes <= kMaxBytesPerSecond * seconds;
}

quint64 plausibleSince(quint64 bytes, qint64 elapsedMs)
{
    return isPlausible(bytes, elapsedMs) ? bytes : 0;
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

quint64 risen(qint64 stored, quint64 now)
{
    return now >= quint64(stored) ? now - quint64(stored) : 0;
}

QString joined(const QByteArrayList &interfaces)
{
    return QString::fromUtf8(interfaces.join(", "));
}

} // namespace

void logResumption(const Resumption &resumption, int unusable)
{
    if (!resumption.resumed.isEmpty()) {
        qInfo().noquote() << QStringLiteral("Resuming from the counters stored for %1: %2 bytes "
                                            "received and %3 sent while no sample was taken.")
                                 .arg(joined(resumption.resumed))
                                 .arg(resumption.credited.recv)
                                 .arg(resumption.credited.sent);
    }
    if (!resumption.fresh.isEmpty()) {
        qInfo().noquote() << "Counting from a fresh baseline:"
                          << resumption.fresh.join(QStringLiteral(", "));
    }
    QStringList damaged = resumption.damaged;
    if (unusable > 0) {
        damaged << QStringLiteral("%1 entries that are not counters").arg(unusable);
    }
    if (!damaged.isEmpty()) {
        qWarning().noquote() << "Ignoring damaged stored counters, nothing credited for them:"
                             << damaged.join(QStringLiteral(", "));
    }
}

HostCounter::HostCounter(InterfaceReader reader, QByteArrayList names)
    : reader_(std::move(reader)), names_(std::move(names))
{}

void HostCounter::rebaseline(qint64 nowMs)
{
    bootId_ = reader_.bootId();
    QHash<QByteArray, Baseline> current;
    if (readCounted(current)) {
        baselines_ = std::move(current);
        readAtMs_ = nowMs;
    }
}

Resumption HostCounter::resume(const std::vector<store::InterfaceBaseline> &stored, qint64 nowMs)
{
    rebaseline(nowMs);
    Resumption resumption;
    for (const store::InterfaceBaseline &entry : stored) {
        const QByteArray name = QByteArray::fromStdString(entry.interface);
        const auto now = baselines_.constFind(name);
        if (now == baselines_.cend()) {
            continue; // not counted now: its last bytes stay where they are
        }
        bool damaged = false;
        const QString why = refusal(entry, *now, nowMs, damaged);
        if (!why.isEmpty()) {
            (damaged ? resumption.damaged : resumption.fresh)
                << QStringLiteral("%1 (%2)").arg(QString::fromUtf8(name), why);
            continue;
        }
        resumption.credited.recv += now->bytes.recv - quint64(entry.recv);
        resumption.credited.sent += now->bytes.sent - quint64(entry.sent);
        resumption.resumed << name;
    }
    return resumption;
}

QString HostCounter::refusal(const store::InterfaceBaseline &stored, const Baseline &now,
                             qint64 nowMs, bool &damaged) const
{
    damaged = stored.recv < 0 || stored.sent < 0 || stored.elapsedMs < 0 || stored.ifindex < 0;
    if (damaged) {
        return QStringLiteral("values no counter can have");
    }
    if (bootId_.isEmpty()) {
        return QStringLiteral("the boot id cannot be read");
    }
    if (QByteArray::fromStdString(stored.bootId) != bootId_) {
        return QStringLiteral("another boot");
    }
    damaged = stored.elapsedMs > nowMs;
    if (damaged) {
        return QStringLiteral("stored at a later time than now");
    }
    if (now.ifindex == 0 || stored.ifindex == 0) {
        return QStringLiteral("its index is not known");
    }
    if (now.ifindex != stored.ifindex) {
        return QStringLiteral("another interface under the same name");
    }
    const qint64 sinceMs = nowMs - stored.elapsedMs;
    if (!isPlausible(risen(stored.recv, now.bytes.recv), sinceMs) ||
        !isPlausible(risen(stored.sent, now.bytes.sent), sinceMs)) {
        return QStringLiteral("a rise no link carries");
    }
    if (now.bytes.recv < quint64(stored.recv) || now.bytes.sent < quint64(stored.sent)) {
        return QStringLiteral("counters lower than the stored ones");
    }
    return QString();
}

std::vector<store::InterfaceBaseline> HostCounter::baselines() const
{
    std::vector<store::InterfaceBaseline> stored;
    for (auto it = baselines_.cbegin(); it != baselines_.cend(); ++it) {
        // Counters past 2^63 do not fit the column: that interface starts
        // afresh after a restart.
        if (it->bytes.recv <= quint64(std::numeric_limits<qint64>::max()) &&
            it->bytes.sent <= quint64(std::numeric_limits<qint64>::max())) {
            stored.push_back({it.key().toStdString(), it->ifindex, bootId_.toStdString(),
                              qint64(it->bytes.recv), qint64(it->bytes.sent), readAtMs_});
        }
    }
    return stored;
}

ByteCounts HostCounter::sample(qint64 nowMs)
{
    QHash<QByteArray, Baseline> current;
    if (!readCounted(current)) {
        // Without the counters nothing is known: the baselines stay, so that
        // the next read credits only what moved since them.
        return ByteCounts();
    }
    const qint64 elapsedMs = nowMs - readAtMs_;
    readAtMs_ = nowMs;
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
