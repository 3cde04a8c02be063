// bpf_source/: the source that counts with the kernel programs, their counts as increments.
// May use the attribution's shared rules and kernel/; never sock_diag/ or socket_table/.
#pragma once

#include "sampled_source.h"

#include <QHash>
#include <functional>
#include <memory>

namespace vexmora::meter {

class KernelSocketCounters;

// Each socket's traffic as kernel programs count it while the packets pass
// (KernelSocketCounters): every protocol, every socket however short its
// life, in the bytes the packets put on the wire. A socket belongs to the
// process the programs recorded for it; one that existed before they loaded
// belongs to the holder of its inode, found through one listing of the
// sockets that exist at the start.
class BpfSource : public SampledSource
{
public:
    // cookie -> inode of every socket of the namespace; false with a reason.
    using ExistingSockets = std::function<bool(QHash<quint64, quint32> &, QString *)>;

    // existing lists the sockets right after the programs attached.
    explicit BpfSource(ExistingSockets existing);
    // Counts from counters the caller made (tests, benchmarks).
    BpfSource(std::unique_ptr<KernelSocketCounters> counters, ExistingSockets existing);
    ~BpfSource() override;
    BpfSource(const BpfSource &) = delete;
    BpfSource &operator=(const BpfSource &) = delete;

    QString name() const override;
    bool open(QString *error) override;
    int notificationFd() const override;
    void readNotifications() override;
    void wakeOnTraffic(bool on) override;
    bool wakesOnTraffic() const override { return true; }
    void setHostRoutes(const std::vector<RoutePrefix> &prefixes) override;
    void ownersInUse(QSet<quint32> &inodes, QSet<qint64> &pids) const override;
    bool recordedProgram(qint64 pid, RecordedProgram *program) const override;

protected:
    bool readLive(QString *error) override;
    SourceSample takeSample() override;
    void addOwnHealth(AttributionHealth &health) const override;

private:
    void sweepIfDue();

    struct Parts;
    std::unique_ptr<Parts> d;
};

} // namespace vexmora::meter
