#pragma once

#include "interface_counters.h"

#include <QByteArrayList>
#include <QHash>

namespace vexmora::meter {

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
    void rebaseline();
    // Bytes moved since the previous sample or baseline; elapsedMs is the
    // time since then, which bounds what a reset may credit.
    ByteCounts sample(qint64 elapsedMs);

private:
    struct Baseline
    {
        int ifindex = 0;
        ByteCounts bytes;
    };

    bool isCounted(const QByteArray &name, QHash<QByteArray, bool> &physicalNow);
    // False when the counters could not be read.
    bool readCounted(QHash<QByteArray, Baseline> &counted);

    InterfaceReader reader_;
    QByteArrayList names_;
    QHash<QByteArray, bool> physical_;
    QHash<QByteArray, Baseline> baselines_;
};

} // namespace vexmora::meter
