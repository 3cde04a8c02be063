#pragma once

#include "alarm_monitor.h"

namespace vexmora::meter {

class MeterBus;

// Where a raised alarm goes, and the news that it is no longer raised.
class AlarmSink
{
public:
    virtual ~AlarmSink() = default;
    virtual void raise(const AlarmEvent &event, qint64 periodMinutes) = 0;
    virtual void clear(AlarmKind kind) = 0;
};

// The log file (through the settings' log writer, at level 0, which the
// default settings write), standard error (the journal) and the system bus.
class AlarmAnnouncer : public AlarmSink
{
public:
    explicit AlarmAnnouncer(MeterBus &bus) : bus_(bus) {}
    void raise(const AlarmEvent &event, qint64 periodMinutes) override;
    void clear(AlarmKind kind) override;

private:
    MeterBus &bus_;
};

} // namespace vexmora::meter
