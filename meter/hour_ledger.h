#pragma once

#include "socket_record.h"
#include "traffic_store.h"

#include <QByteArray>
#include <vector>

namespace vexmora::meter {

// Where a moment of the wall clock falls in local time.
struct LocalMinute
{
    QByteArray hourText; // "%Y-%m-%d %H:00", the key of the hour's row
    int minuteOfHour = 0;
    // Minutes since the epoch: tells apart the minutes of an hour that repeats
    // when the clocks go back.
    qint64 epochMinute = 0;
};
LocalMinute localMinuteAt(qint64 wallMs);

// One hour's row: what it held when counting reached the hour, and what this
// process counted since. Continuing the stored row keeps a restart or a
// repeated hour from overwriting it with smaller totals.
class HourRow
{
public:
    explicit HourRow(QByteArray hour = QByteArray()) : hour_(std::move(hour)) {}

    const QByteArray &hour() const { return hour_; }
    void add(const ByteCounts &bytes, int minuteOfHour);
    void cover(int minuteOfHour);
    // A finished minute's bytes make a candidate for the three peaks.
    void closeMinute(const ByteCounts &minuteBytes);
    // Writes the row, reading the stored one first if that has not worked yet;
    // false (nothing written) when the store fails.
    bool save();
    // The row as save() writes it; false when the stored row cannot be read.
    bool record(store::HourRecord &row);

private:
    bool loadBase();

    QByteArray hour_;
    bool baseLoaded_ = false;
    store::HourRecord base_{};
    ByteCounts added_;
    quint64 coveredMinutes_ = 0;
    qint32 recvPeak_ = 0;
    qint32 sentPeak_ = 0;
    qint32 totalPeak_ = 0;
};

// The hour rows as counting goes on: the current hour written at every minute
// and at the hour's end; rows the store refused kept and written again later.
class HourLedger
{
public:
    // Counts traffic at a moment; its minute counts as covered even without
    // bytes, and so do the minutes since the previous moment of the same hour.
    void account(const LocalMinute &when, const ByteCounts &bytes);
    // Counting was interrupted: the minutes until the next moment are not covered.
    void interrupt();
    // Writes the current hour and any row the store refused before.
    bool flush();
    // The current hour's row as it would be written now; false when no hour
    // is open or the stored row cannot be read.
    bool current(QByteArray &hour, store::HourRecord &record);
    // Writes the current hour and lets it go: counting stops.
    void close();

private:
    void closeMinute();

    HourRow current_;
    qint64 minute_ = -1;
    ByteCounts minuteBytes_;
    std::vector<HourRow> unsaved_;
};

} // namespace vexmora::meter
