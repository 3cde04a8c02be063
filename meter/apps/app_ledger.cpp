#include "app_ledger.h"

#include "name_text.h"

#include <cerrno>
#include <csignal>

namespace vexmora::meter {
namespace {

bool isRunning(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0 || errno != ESRCH;
}

} // namespace

void AppLedger::account(const std::vector<ProcessTraffic> &processes, const ByteCounts &host,
                        qint64 utcDay)
{
    if (utcDay != day_) {
        day_ = utcDay;
        apps_.clear();
        ownRows_ = 0;
        overAttributed_ = ByteCounts();
        if (utcDay != earlierDay_) {
            earlier_.clear();
            earlierOnly_ = 0;
        }
    }
    ByteCounts attributed;
    for (const ProcessTraffic &process : processes) {
        const ByteCounts &bytes = process.bytes;
        attributed += bytes;
        addApp(rowOf(process.app), bytes);
        if (process.pid == 0) {
            continue;
        }
        ProcessTally &tally = processes_[process.pid];
        if (tally.name != process.name || tally.app != process.app) {
            tally = ProcessTally{process.name, process.app, {}}; // the pid was taken anew
        }
        tally.bytes.add(bytes);
    }
    settleUnattributed(host, attributed);
}

store::AppWrite AppLedger::unwritten() const
{
    store::AppWrite write;
    for (auto it = unflushed_.cbegin(); it != unflushed_.cend(); ++it) {
        if (it->recv != 0 || it->sent != 0) {
            write.increments.push_back(
                {it.key().second.toStdString(), it->recv, it->sent, it.key().first});
        }
    }
    if (!overAttributed_.isZero()) {
        write.carry = {day_, qint64(overAttributed_.recv), qint64(overAttributed_.sent)};
    }
    return write;
}

void AppLedger::written(const store::AppWrite &write)
{
    for (const store::AppIncrement &increment : write.increments) {
        const auto it =
            unflushed_.find({qint64(increment.utcDay), QString::fromStdString(increment.app)});
        if (it == unflushed_.end()) {
            continue;
        }
        it->recv -= increment.recv;
        it->sent -= increment.sent;
        if (it->recv == 0 && it->sent == 0) {
            unflushed_.erase(it);
        }
    }
}

bool AppLedger::resume(const store::AppCarry &carry, const store::AppCarry &attributed)
{
    const store::AppCarry none;
    if (carry.utcDay == none.utcDay && carry.recv == none.recv && carry.sent == none.sent) {
        return true;
    }
    if (carry.utcDay < 0 || carry.recv < 0 || carry.sent < 0) {
        return false;
    }
    // The rows cannot hold more beyond the host's bytes than they hold.
    if (attributed.utcDay != carry.utcDay || carry.recv > attributed.recv ||
        carry.sent > attributed.sent) {
        return false;
    }
    // The application rows of that day hold these bytes already: they come
    // off its next unattributed ones, also those this start credits.
    day_ = carry.utcDay;
    overAttributed_ = ByteCounts{quint64(carry.recv), quint64(carry.sent)};
    return true;
}

void AppLedger::namedEarlier(qint64 utcDay, const QStringList &apps)
{
    earlierDay_ = utcDay;
    earlier_.clear();
    earlierOnly_ = 0;
    for (const QString &app : apps) {
        if (!isReservedName(app) && !earlier_.contains(app)) {
            earlier_.insert(app);
            earlierOnly_ += apps_.contains(app) ? 0 : 1;
        }
    }
}

void AppLedger::startRecentWindow()
{
    for (TrafficTally &app : apps_) {
        app.recent = ByteCounts();
    }
    for (ProcessTally &process : processes_) {
        process.bytes.recent = ByteCounts();
    }
}

void AppLedger::dropEndedProcesses()
{
    for (auto it = processes_.begin(); it != processes_.end();) {
        it = isRunning(it.key()) ? std::next(it) : processes_.erase(it);
    }
}

void AppLedger::addApp(const QString &app, const ByteCounts &bytes)
{
    if (bytes.isZero()) {
        return;
    }
    const auto it = apps_.find(app);
    if (it != apps_.end()) {
        it->add(bytes);
    } else {
        apps_[app].add(bytes);
        ownRows_ += isReservedName(app) ? 1 : 0;
        earlierOnly_ -= earlier_.contains(app) ? 1 : 0;
    }
    Unflushed &pending = unflushed_[{day_, app}];
    pending.recv += qint64(bytes.recv);
    pending.sent += qint64(bytes.sent);
}

// The attribution never gives a reserved name: those are the meter's own rows.
QString AppLedger::rowOf(const QString &app) const
{
    if (apps_.contains(app) || earlier_.contains(app) || isReservedName(app) ||
        apps_.size() - ownRows_ + earlierOnly_ < maxApps_) {
        return app;
    }
    return QString::fromLatin1(kOtherApps);
}

// The host's bytes beyond the attributed ones are unattributed. Attributed
// bytes beyond the host's came late: a socket's final counts that arrived
// after its bytes moved (a connection gone from the kernel's socket table
// while its program still held it), whose bytes went to the unattributed
// ones back then. They are taken back from the day's unattributed bytes, and
// what these cannot make up for comes off the next ones.
void AppLedger::settleUnattributed(const ByteCounts &host, const ByteCounts &attributed)
{
    ByteCounts rest;
    const auto settle = [&](quint64 ByteCounts::*direction, qint64 Unflushed::*pending) {
        const quint64 hostBytes = host.*direction;
        const quint64 attributedBytes = attributed.*direction;
        quint64 &over = overAttributed_.*direction;
        if (attributedBytes > hostBytes) {
            const quint64 excess = attributedBytes - hostBytes;
            over += excess - takeBackUnattributed(excess, direction, pending);
            return;
        }
        const quint64 unattributed = hostBytes - attributedBytes;
        const quint64 offset = qMin(unattributed, over);
        over -= offset;
        rest.*direction = unattributed - offset;
    };
    settle(&ByteCounts::recv, &Unflushed::recv);
    settle(&ByteCounts::sent, &Unflushed::sent);
    addApp(QString::fromLatin1(kUnattributed), rest);
}

quint64 AppLedger::takeBackUnattributed(quint64 excess, quint64 ByteCounts::*direction,
                                        qint64 Unflushed::*pending)
{
    const QString name = QString::fromLatin1(kUnattributed);
    const auto it = apps_.find(name);
    if (it == apps_.end()) {
        return 0;
    }
    const quint64 taken = qMin(excess, it->total.*direction);
    it->total.*direction -= taken;
    it->recent.*direction -= qMin(taken, it->recent.*direction);
    unflushed_[{day_, name}].*pending -= qint64(taken);
    return taken;
}

} // namespace vexmora::meter
