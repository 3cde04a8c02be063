#pragma once

#include "attribution_types.h"
#include "diag_parser.h"
#include "local_addresses.h"
#include "package_index.h"
#include "process_catalog.h"
#include "socket_ledger.h"
#include "socket_owners.h"

#include <QElapsedTimer>
#include <vector>

namespace vexmora::meter {

// Everything between the kernel's messages and the per-process traffic:
// counters into increments (SocketLedger), sockets to processes
// (SocketOwners), processes to names (ProcessCatalog, PackageIndex). It takes
// parsed messages, so it runs against recorded ones and a fake /proc as well.
class AttributionCore
{
public:
    explicit AttributionCore(
        const AttributionSources &sources,
        LocalAddresses::Source localAddresses = LocalAddresses::interfaceAddresses);

    // The first dump: what it shows is the baseline, and its sockets' owners
    // are looked up at once.
    void start(const DiagBatch &baseline);
    void applyDestroyed(const DiagBatch &destroyed, quint64 overruns = 0);
    void applyDump(const DiagBatch &dump);
    void noteDumpFailure(const QString &error);
    // The traffic since the previous collect(), one entry per process.
    std::vector<ProcessTraffic> collect();

    AttributionHealth health() const;
    quint64 overruns() const { return counts_.overruns; }

private:
    void countRecords(const DiagBatch &batch);
    void refreshPackages();
    void resolveNewOwners();
    void recheckOwnersGone(const std::vector<SocketBytes> &bytes);
    void learnOwners();
    std::vector<ProcessTraffic> sumByProcess(const std::vector<SocketBytes> &bytes) const;
    void forgetUntracked();

    LocalAddresses local_;
    SocketLedger ledger_;
    SocketOwners owners_;
    PackageIndex packages_;
    ProcessCatalog catalog_;
    AttributionHealth counts_;
    quint64 releasesCleanedUp_ = 0;
    QElapsedTimer sincePackageCheck_;
};

} // namespace vexmora::meter
