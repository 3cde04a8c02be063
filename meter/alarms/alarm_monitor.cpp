#include "alarm_monitor.h"

namespace vexmora::meter {
namespace {

constexpr qint64 kMaxBuckets = 600;
constexpr quint64 kBytesPerMiB = 1024 * 1024;
constexpr qint64 kMsPerMinute = 60 * 1000;

} // namespace

void TrafficWindow::reset(qint64 lengthMs)
{
    lengthMs_ = qMax<qint64>(lengthMs, 0);
    bucketMs_ = qMax<qint64>(1000, (lengthMs_ + kMaxBuckets - 1) / kMaxBuckets);
    buckets_.clear();
    total_ = ByteCounts();
}

void TrafficWindow::add(qint64 elapsedMs, const ByteCounts &bytes)
{
    const qint64 start = elapsedMs - elapsedMs % bucketMs_;
    if (buckets_.empty() || buckets_.back().start != start) {
        buckets_.push_back(Bucket{start, ByteCounts()});
    }
    buckets_.back().bytes += bytes;
    total_ += bytes;
}

ByteCounts TrafficWindow::total(qint64 elapsedMs)
{
    dropBefore(elapsedMs - lengthMs_);
    return total_;
}

void TrafficWindow::dropBefore(qint64 elapsedMs)
{
    // A bucket goes once all of it lies before the window.
    while (!buckets_.empty() && buckets_.front().start + bucketMs_ <= elapsedMs) {
        total_.recv -= buckets_.front().bytes.recv;
        total_.sent -= buckets_.front().bytes.sent;
        buckets_.pop_front();
    }
}

QString alarmKindName(AlarmKind kind)
{
    switch (kind) {
    case AlarmKind::Egress:
        return QStringLiteral("egress");
    case AlarmKind::Ingress:
        return QStringLiteral("ingress");
    case AlarmKind::Overall:
        break;
    }
    return QStringLiteral("overall");
}

bool AlarmSettings::operator==(const AlarmSettings &other) const
{
    return enabled == other.enabled && sizeMiB == other.sizeMiB &&
           periodMinutes == other.periodMinutes && changedAt == other.changedAt;
}

void AlarmMonitor::configure(const AlarmSettings &settings)
{
    if (settings == settings_) {
        return;
    }
    settings_ = settings;
    window_.reset(settings.periodMinutes * kMsPerMinute);
    rearm_ = true;
}

void AlarmMonitor::add(qint64 elapsedMs, const ByteCounts &bytes)
{
    if (settings_.periodMinutes > 0) {
        window_.add(elapsedMs, bytes);
    }
}

AlarmChanges AlarmMonitor::evaluate(qint64 elapsedMs)
{
    AlarmChanges changes;
    const ByteCounts window = window_.total(elapsedMs);
    for (AlarmKind kind : kAlarmKinds) {
        bool &raised = raised_[index(kind)];
        const quint64 bytes = windowBytes(kind, window);
        const quint64 limit = quint64(settings_.sizeMiB[index(kind)]) * kBytesPerMiB;
        const bool over = isActive(kind) && bytes > limit;
        if (raised && (!over || rearm_)) {
            changes.cleared.push_back(kind);
            raised = false;
        }
        if (over && !raised) {
            changes.raised.push_back(AlarmEvent{kind, bytes, limit});
            raised = true;
        }
    }
    rearm_ = false;
    return changes;
}

quint64 AlarmMonitor::windowBytes(AlarmKind kind, const ByteCounts &window)
{
    switch (kind) {
    case AlarmKind::Egress:
        return window.sent;
    case AlarmKind::Ingress:
        return window.recv;
    case AlarmKind::Overall:
        break;
    }
    return window.total();
}

bool AlarmMonitor::isActive(AlarmKind kind) const
{
    return settings_.enabled[index(kind)] && settings_.sizeMiB[index(kind)] > 0 &&
           settings_.periodMinutes > 0;
}

} // namespace vexmora::meter
