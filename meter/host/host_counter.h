// host/: the host's traffic: the interfaces' counters, their increments and the hour rows.
// May use the store, netlink/ and the attribution's byte counts; nothing else of the meter.
#pragma once

#include "interface_counters.h"
#include "meter_state.h"

#include <QByteArrayList>
#include <QHash>
#include <QStringList>

namespace vexmora::meter {

// What a start made of the counters stored by the previous run.
struct Resumption
{
    // What the interfaces moved since their stored counters.
    ByteCounts credited;
    QByteArrayList resumed;
    // Interfaces that start from a fresh baseline, each with the reason.
    QStringList fresh;
    // Stored entries that cannot be right, each with the reason.
    QStringList damaged;
};

// Writes what a start made of the stored counters, one line for each kind of
// outcome; `unusable` stored entries could not be read as counters at all.
void logResumption(const Resumption &resumption, int unusable);

// The host's traffic from the interface counters: the bytes the counted
// interfaces moved between two samples. A counter that goes down (the
// interface was created anew, the driver reloaded) is a reset: the new value
// is what the interface moved since, not a wrap of 2^64 bytes; a rise faster
// than any link is a glitch and credits nothing. An interface that appears is
// credited from zero; one that disappears leaves the count.
class HostCounter
{
public:
    // Counts the named interfaces, or the physical ones when names is empty.
    HostCounter(InterfaceReader reader, QByteArrayList names);

    // Takes the current counters as the baseline; nothing before is credited.
    // nowMs is the boot's clock (CLOCK_BOOTTIME).
    void rebaseline(qint64 nowMs);
    // Takes the current counters as the baseline and credits what each
    // interface moved since the stored counters, where those are of the same
    // boot, the same interface index and not above the current ones.
    Resumption resume(const std::vector<store::InterfaceBaseline> &stored, qint64 nowMs);
    // Bytes moved since the previous sample or baseline; the time since then
    // bounds what may be credited.
    ByteCounts sample(qint64 nowMs);
    // Whether the interface of that name is counted.
    bool counts(const QByteArray &name) const;
    // The baseline as it stands, to be stored with the rows counted up to it.
    std::vector<store::InterfaceBaseline> baselines() const;

private:
    // An interface of the last read: counted ones hold the baseline.
    struct Interface
    {
        int ifindex = 0;
        ByteCounts bytes;
        bool counted = false;
        quint64 lastRead = 0; // the number of the read that last found it
    };

    // False when the counters could not be read.
    bool read();
    // Takes the interfaces of the last read as they are: the fresh baseline.
    void takeRead();
    void forgetMissing();
    // Empty when what moved since the stored counters can be credited,
    // otherwise why not; `damaged` tells whether the entry cannot be right.
    QString refusal(const store::InterfaceBaseline &stored, const Interface &now, qint64 nowMs,
                    bool &damaged) const;

    InterfaceReader reader_;
    QByteArrayList names_;
    // Kept from sample to sample and updated in place: only interfaces that
    // come and go allocate.
    std::vector<InterfaceCounters> read_;
    QHash<QByteArray, Interface> interfaces_;
    quint64 reads_ = 0;
    QByteArray bootId_;
    qint64 readAtMs_ = 0;
};

} // namespace vexmora::meter
