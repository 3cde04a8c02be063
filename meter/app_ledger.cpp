#include "app_ledger.h"

#include "traffic_store.h"

#include <cerrno>
#include <csignal>

namespace vexmora::meter {
namespace {

// The host's bytes beyond the attributed ones, less what was attributed
// beyond the host's before.
quint64 restOf(quint64 host, quint64 attributed, quint64 &overAttributed)
{
    if (attributed >= host) {
        overAttributed += attributed - host;
        return 0;
    }
    const quint64 rest = host - attributed;
    const quint64 offset = qMin(rest, overAttributed);
    overAttributed -= offset;
    return rest - offset;
}

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
        overAttributed_ = ByteCounts();
    }
    ByteCounts attributed;
    for (const ProcessTraffic &process : processes) {
        const ByteCounts &bytes = process.bytes;
        attributed += bytes;
        addApp(process.app, bytes);
        if (process.pid == 0) {
            continue;
        }
        ProcessTally &tally = processes_[process.pid];
        if (tally.name != process.name || tally.app != process.app) {
            tally = ProcessTally{process.name, process.app, {}}; // the pid was taken anew
        }
        tally.bytes.add(bytes);
    }
    addUnattributedRest(host, attributed);
}

bool AppLedger::flush()
{
    bool stored = true;
    for (auto it = unflushed_.begin(); it != unflushed_.end();) {
        const QByteArray app = it.key().toUtf8();
        if (store::addAppTraffic(app.constData(), qint64(it->recv), qint64(it->sent)) == 0) {
            it = unflushed_.erase(it);
        } else {
            stored = false;
            break; // the store fails the same way for the others; they wait too
        }
    }
    return stored;
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
    apps_[app].add(bytes);
    unflushed_[app] += bytes;
}

void AppLedger::addUnattributedRest(const ByteCounts &host, const ByteCounts &attributed)
{
    const ByteCounts rest{restOf(host.recv, attributed.recv, overAttributed_.recv),
                          restOf(host.sent, attributed.sent, overAttributed_.sent)};
    addApp(QString::fromLatin1(kUnattributed), rest);
}

} // namespace vexmora::meter
