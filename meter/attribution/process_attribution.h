// attribution/: the shared rules: sockets' owners, processes, application names (README.md).
// May use Qt and cJSON only; its two sources (bpf_source/, socket_table/) and their readers use it.
#pragma once

#include "attribution_types.h"
#include "package_index.h"
#include "process_catalog.h"
#include "socket_count_source.h"
#include "socket_owners.h"

#include <QElapsedTimer>
#include <vector>

namespace vexmora::meter {

// Everything between a source's per-socket bytes and the per-process traffic:
// sockets to processes (a recorded pid, or the holder of an inode in
// /proc/PID/fd: SocketOwners), processes to names (ProcessCatalog,
// PackageIndex). The same for every source, so it runs against hand-made
// samples and a fake /proc as well.
class ProcessAttribution
{
public:
    explicit ProcessAttribution(const AttributionSources &sources = {});

    // Notes the state of dpkg's status file.
    void start();
    // The sample's traffic, one entry per process; owners no longer in use by
    // the source are forgotten.
    std::vector<ProcessTraffic> attribute(const SourceSample &sample,
                                          const SocketCountSource &source);
    void addHealth(AttributionHealth &health) const;

private:
    void refreshPackages();
    void learnNewOwners(const std::vector<SocketOwner> &owners, const SocketCountSource &source);
    RecordedProgram recordedProgram(qint64 pid, const SocketCountSource &source) const;
    void recheckOwnersGone(const std::vector<SocketBytes> &bytes);
    void learnInodeOwners();
    qint64 pidOf(const SocketOwner &owner) const;
    std::vector<ProcessTraffic> sumByProcess(const std::vector<SocketBytes> &bytes) const;
    void forgetUnused(const SocketCountSource &source);

    SocketOwners owners_;
    PackageIndex packages_;
    ProcessCatalog catalog_;
    QElapsedTimer sincePackageCheck_;
};

} // namespace vexmora::meter
