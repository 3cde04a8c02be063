// alarms/: the traffic alarms: windows of the host's bytes against the configured limits.
// May use the attribution's byte counts only; where an alarm goes is outputs/.
#pragma once

#include "socket_record.h"

#include <QString>
#include <array>
#include <deque>
#include <vector>

namespace vexmora::meter {

// The traffic of a sliding window of the elapsed clock, kept in at most a few
// hundred buckets whatever the window's length.
class TrafficWindow
{
public:
    // Empties the window and sets its length.
    void reset(qint64 lengthMs);
    void add(qint64 elapsedMs, const ByteCounts &bytes);
    // The traffic of the last lengthMs before elapsedMs.
    ByteCounts total(qint64 elapsedMs);

private:
    struct Bucket
    {
        qint64 start = 0;
        ByteCounts bytes;
    };
    void dropBefore(qint64 elapsedMs);

    qint64 lengthMs_ = 0;
    qint64 bucketMs_ = 1000;
    std::deque<Bucket> buckets_;
    ByteCounts total_;
};

enum class AlarmKind { Overall, Egress, Ingress };
inline constexpr std::array<AlarmKind, 3> kAlarmKinds = {AlarmKind::Overall, AlarmKind::Egress,
                                                         AlarmKind::Ingress};
QString alarmKindName(AlarmKind kind);

// What the settings say about the alarms: sizes in MiB, the shared period in
// minutes, and the time of the last change of thresholds or alarm switches.
struct AlarmSettings
{
    std::array<bool, 3> enabled{};
    std::array<qint64, 3> sizeMiB{};
    qint64 periodMinutes = 0;
    quint32 changedAt = 0;

    bool operator==(const AlarmSettings &other) const;
};

struct AlarmEvent
{
    AlarmKind kind = AlarmKind::Overall;
    quint64 bytes = 0;
    quint64 limit = 0;
};

// What an evaluation changed. A change of the settings clears a raised kind
// that the traffic after it may raise again: cleared kinds come first.
struct AlarmChanges
{
    std::vector<AlarmKind> cleared;
    std::vector<AlarmEvent> raised;
};

// The three alarms over one window. An alarm is raised once when its window
// bytes cross its size, and cleared (armed again) when they fall back to the
// size or below, or when the settings change. Traffic before a change of the
// settings does not count.
class AlarmMonitor
{
public:
    // Takes effect at the next evaluation.
    void configure(const AlarmSettings &settings);
    void add(qint64 elapsedMs, const ByteCounts &bytes);
    // The alarms raised and cleared since the last evaluation.
    AlarmChanges evaluate(qint64 elapsedMs);
    bool isRaised(AlarmKind kind) const { return raised_[index(kind)]; }

private:
    static size_t index(AlarmKind kind) { return size_t(kind); }
    static quint64 windowBytes(AlarmKind kind, const ByteCounts &window);
    bool isActive(AlarmKind kind) const;

    AlarmSettings settings_;
    TrafficWindow window_;
    std::array<bool, 3> raised_{};
    bool rearm_ = false;
};

} // namespace vexmora::meter
