#include "sampled_source.h"

namespace vexmora::meter {

SourceSample SampledSource::sample()
{
    readNotifications();
    QString error;
    if (!readLive(&error))
        noteFailedRead(error);
    // Final counts of sockets that finished during the read come after it.
    readNotifications();
    return takeSample();
}

void SampledSource::addHealth(AttributionHealth &health) const
{
    health.failedReads += failedReads_;
    if (!lastReadError_.isEmpty())
        health.lastReadError = lastReadError_;
    addOwnHealth(health);
}

void SampledSource::noteFailedRead(const QString &error)
{
    ++failedReads_;
    lastReadError_ = error;
}

} // namespace vexmora::meter
