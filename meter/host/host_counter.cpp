#include "host_counter.h"

#include <QDebug>
#include <limits>

namespace vexmora::meter {
namespace {

// More than any link carries (400 Gbit/s): a reset may credit at most this
// for the time since the previous sample, with a second of slack.
constexpr quint64 kMaxBytesPerSecond = 50'000'000'000ULL;

bool isPlausible(quint64 bytes, qint64 elapsedMs, quint64 bytesPerSecond = kMaxBytesPerSecond)
{
    const quint64 seconds = quint64(qMax<qint64>(elapsedMs, 0)) / 1000 + 1;
    return bytes / seconds <= bytesPerSecond;
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
    if (read()) {
        takeRead();
        readAtMs_ = nowMs;
    }
}

Resumption HostCounter::resume(const std::vector<store::InterfaceBaseline> &stored, qint64 nowMs)
{
    rebaseline(nowMs);
    Resumption resumption;
    for (const store::InterfaceBaseline &entry : stored) {
        const QByteArray name = QByteArray::fromStdString(entry.interface);
        const auto now = interfaces_.constFind(name);
        if (now == interfaces_.cend() || !now->counted) {
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

QString HostCounter::refusal(const store::InterfaceBaseline &stored, const Interface &now,
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
    // A stored counter far below the current one (0, say) would credit
    // everything since the boot: no more than the link's speed allows.
    const quint64 speed = reader_.linkBytesPerSecond(QByteArray::fromStdString(stored.interface));
    damaged = speed != 0 && (!isPlausible(risen(stored.recv, now.bytes.recv), sinceMs, speed) ||
                             !isPlausible(risen(stored.sent, now.bytes.sent), sinceMs, speed));
    if (damaged) {
        return QStringLiteral("a rise beyond the link's speed of %1 bytes a second").arg(speed);
    }
    if (now.bytes.recv < quint64(stored.recv) || now.bytes.sent < quint64(stored.sent)) {
        return QStringLiteral("counters lower than the stored ones");
    }
    return QString();
}

std::vector<store::InterfaceBaseline> HostCounter::baselines() const
{
    std::vector<store::InterfaceBaseline> stored;
    for (auto it = interfaces_.cbegin(); it != interfaces_.cend(); ++it) {
        // Counters past 2^63 do not fit the column: that interface starts
        // afresh after a restart.
        if (it->counted && it->bytes.recv <= quint64(std::numeric_limits<qint64>::max()) &&
            it->bytes.sent <= quint64(std::numeric_limits<qint64>::max())) {
            stored.push_back({it.key().toStdString(), it->ifindex, bootId_.toStdString(),
                              qint64(it->bytes.recv), qint64(it->bytes.sent), readAtMs_});
        }
    }
    return stored;
}

ByteCounts HostCounter::sample(qint64 nowMs)
{
    if (!read()) {
        // Without the counters nothing is known: the baselines stay, so that
        // the next read credits only what moved since them.
        return ByteCounts();
    }
    const qint64 elapsedMs = nowMs - readAtMs_;
    readAtMs_ = nowMs;
    ByteCounts moved;
    for (const InterfaceCounters &now : read_) {
        auto known = interfaces_.find(now.name);
        // New, or created anew under the same name: its counters started at zero.
        bool fresh = known == interfaces_.end();
        if (fresh) {
            known = interfaces_.insert(now.name, Interface{0, {}, counts(now.name), 0});
        } else {
            fresh = isRecreated(known->ifindex, now.ifindex);
        }
        if (known->counted) {
            moved.recv += fresh ? plausibleSince(now.bytes.recv, elapsedMs)
                                : creditOne(known->bytes.recv, now.bytes.recv, elapsedMs);
            moved.sent += fresh ? plausibleSince(now.bytes.sent, elapsedMs)
                                : creditOne(known->bytes.sent, now.bytes.sent, elapsedMs);
        }
        known->ifindex = now.ifindex;
        known->bytes = now.bytes;
        known->lastRead = reads_;
    }
    forgetMissing();
    return moved;
}

bool HostCounter::counts(const QByteArray &name) const
{
    return names_.isEmpty() ? reader_.isPhysical(name) : names_.contains(name);
}

bool HostCounter::read()
{
    if (!reader_.read(read_)) {
        return false;
    }
    ++reads_;
    return true;
}

void HostCounter::takeRead()
{
    for (const InterfaceCounters &now : read_) {
        auto known = interfaces_.find(now.name);
        if (known == interfaces_.end()) {
            known = interfaces_.insert(now.name, Interface{0, {}, counts(now.name), 0});
        }
        known->ifindex = now.ifindex;
        known->bytes = now.bytes;
        known->lastRead = reads_;
    }
    forgetMissing();
}

// Only the interfaces present now stay known, however many come and go.
void HostCounter::forgetMissing()
{
    if (interfaces_.size() == int(read_.size())) {
        return;
    }
    for (auto it = interfaces_.begin(); it != interfaces_.end();) {
        it = it->lastRead == reads_ ? std::next(it) : interfaces_.erase(it);
    }
}

} // namespace vexmora::meter
