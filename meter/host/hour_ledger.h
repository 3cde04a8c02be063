#pragma once

#include "meter_store.h"
#include "socket_record.h"

#include <QByteArray>
#include <QHash>
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
// repeated hour from overwriting it with smaller totals; the minutes stored
// with it are taken into the union of the covered minutes, so that a minute
// counts once however often the meter restarts in it.
class HourRow
{
public:
    explicit HourRow(QByteArray hour = QByteArray(), quint64 storedMinutes = 0)
        : hour_(std::move(hour)), storedMinutes_(storedMinutes)
    {}

    const QByteArray &hour() const { return hour_; }
    void add(const ByteCounts &bytes, int minuteOfHour);
    // Bytes that cannot be placed in a minute: they cover none and make no peak.
    void addUnplaced(const ByteCounts &bytes);
    void cover(int minuteOfHour);
    // A finished minute's bytes make a candidate for the three peaks.
    void closeMinute(const ByteCounts &minuteBytes);
    // The row as it is to be written, reading the stored one first if that
    // has not worked yet; false when the stored row cannot be read.
    bool record(store::MeterStore &store, store::HourRecord &row);
    // The minutes known to be covered, bit m for minute m.
    quint64 coveredMinutes() const { return storedMinutes_ | coveredMinutes_; }

private:
    bool loadBase(store::MeterStore &store);

    QByteArray hour_;
    bool baseLoaded_ = false;
    store::HourRecord base_{};
    quint64 storedMinutes_ = 0;
    ByteCounts added_;
    quint64 coveredMinutes_ = 0;
    qint32 recvPeak_ = 0;
    qint32 sentPeak_ = 0;
    qint32 totalPeak_ = 0;
};

// The hour rows as counting goes on: the current hour is due to be written at
// every minute and at the hour's end, together with the counters it was
// counted up to; rows the store refused are kept and written with the next.
class HourLedger
{
public:
    // The covered minutes that the previous run stored with its rows; the
    // number of entries that cannot be minutes of an hour, left out.
    int resumeMinutes(const std::vector<store::HourMinutes> &stored);
    // Counts traffic at a moment; its minute counts as covered even without
    // bytes, and so do the minutes since the previous moment of the same hour.
    void account(const LocalMinute &when, const ByteCounts &bytes);
    // Bytes that moved while nothing was sampled: to the hour of `when`,
    // without covering a minute or making a peak.
    void creditUnplaced(const LocalMinute &when, const ByteCounts &bytes);
    // Counting was interrupted: the minutes until the next moment are not covered.
    void interrupt();
    // The store lacks something: a minute or an hour ended, counting was
    // interrupted or bytes were credited since the last save.
    bool isDue() const { return due_; }
    // Whether an hour ended since the rows were last saved.
    bool hasFinishedHours() const { return !finished_.empty(); }
    // The rows the store lacks: the finished hours not written yet and the
    // current one; false (all kept for the next save) when a stored row
    // cannot be read.
    bool rowsToSave(store::MeterStore &store, std::vector<store::HourWrite> &writes);
    // The store took the writes that rowsToSave() gave: the finished hours
    // are let go.
    void rowsSaved(const std::vector<store::HourWrite> &writes);
    // The current hour's row as it would be written now; false when no hour
    // is open or the stored row cannot be read.
    bool current(store::MeterStore &store, QByteArray &hour, store::HourRecord &record);
    // Lets the current hour go (written by the next save): counting stops.
    void close();

private:
    void enterHour(const QByteArray &hour);
    void rememberStoredMinutes(const std::vector<store::HourWrite> &writes);
    void closeMinute();

    HourRow current_;
    qint64 minute_ = -1;
    ByteCounts minuteBytes_;
    std::vector<HourRow> finished_;
    // What the store holds of each hour's covered minutes.
    QHash<QByteArray, quint64> storedMinutes_;
    bool due_ = false;
};

} // namespace vexmora::meter
