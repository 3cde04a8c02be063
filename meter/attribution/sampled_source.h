#pragma once

#include "socket_count_source.h"

namespace vexmora::meter {

// What both sources do alike at a sample: the final counts that came, one read
// of the live sockets' counts, then the final counts of sockets that closed
// during that read; a read that fails is counted, its reason kept for the
// health. Each source says only how it reads and what it has to give.
class SampledSource : public SocketCountSource
{
public:
    SourceSample sample() final;
    void addHealth(AttributionHealth &health) const final;

protected:
    // One read of the live sockets into the source's ledger; false with the reason.
    virtual bool readLive(QString *error) = 0;
    // What the reads since the last sample gave.
    virtual SourceSample takeSample() = 0;
    // The source's own counts of what it lost, skipped or tracks.
    virtual void addOwnHealth(AttributionHealth &health) const = 0;
    void noteFailedRead(const QString &error);

private:
    quint64 failedReads_ = 0;
    QString lastReadError_;
};

} // namespace vexmora::meter
