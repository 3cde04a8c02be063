#include "hour_ledger.h"

#include <QDebug>
#include <bitset>
#include <ctime>
#include <limits>

namespace vexmora::meter {
namespace {

// Rows the store refused are kept this long (hours) before the oldest goes.
constexpr size_t kMaxUnsavedHours = 48;

int minuteCount(quint64 minutes)
{
    return int(std::bitset<64>(minutes).count());
}

qint32 kibPerSecond(quint64 minuteBytes)
{
    const quint64 rate = minuteBytes / 1024 / 60;
    return qint32(qMin<quint64>(rate, std::numeric_limits<qint32>::max()));
}

// The stored bytes and those counted since, at most what the column holds.
qint64 saturatingSum(qint64 stored, quint64 added)
{
    const quint64 room = quint64(std::numeric_limits<qint64>::max()) - quint64(stored);
    return added >= room ? std::numeric_limits<qint64>::max() : stored + qint64(added);
}

// A stored row with fewer than no bytes was not written by a meter: it counts
// from 0.
void refuseNegativeBytes(const QByteArray &hour, store::HourRecord &row)
{
    if (row.recv >= 0 && row.sent >= 0) {
        return;
    }
    qWarning("The stored row of %s holds negative bytes (%lld received, %lld sent): they count as "
             "0.",
             hour.constData(), static_cast<long long>(row.recv), static_cast<long long>(row.sent));
    row.recv = qMax<qint64>(row.recv, 0);
    row.sent = qMax<qint64>(row.sent, 0);
}

} // namespace

LocalMinute localMinuteAt(qint64 wallMs)
{
    const time_t seconds = time_t(wallMs / 1000);
    tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:00", &local);
    return LocalMinute{QByteArray(text), local.tm_min, wallMs / 60000};
}

void HourRow::add(const ByteCounts &bytes, int minuteOfHour)
{
    added_ += bytes;
    cover(minuteOfHour);
}

void HourRow::addUnplaced(const ByteCounts &bytes)
{
    added_ += bytes;
}

void HourRow::cover(int minuteOfHour)
{
    coveredMinutes_ |= quint64(1) << qBound(0, minuteOfHour, 59);
}

void HourRow::closeMinute(const ByteCounts &minuteBytes)
{
    recvPeak_ = qMax(recvPeak_, kibPerSecond(minuteBytes.recv));
    sentPeak_ = qMax(sentPeak_, kibPerSecond(minuteBytes.sent));
    totalPeak_ = qMax(totalPeak_, kibPerSecond(minuteBytes.total()));
}

bool HourRow::loadBase(store::MeterStore &store)
{
    if (!baseLoaded_) {
        store::HourRecord stored{};
        if (store.loadHour(hour_.constData(), stored) != store::StoreResult::Done) {
            return false;
        }
        refuseNegativeBytes(hour_, stored);
        base_ = stored;
        baseLoaded_ = true;
    }
    return true;
}

bool HourRow::record(store::MeterStore &store, store::HourRecord &row)
{
    if (!loadBase(store)) {
        return false;
    }
    // Minutes of the stored row that no stored minutes name (a row of an
    // earlier version, or one written while the clock was elsewhere) can
    // only be added to.
    const int unnamed = qMax(0, qMax(0, base_.mins) - minuteCount(storedMinutes_));
    row = base_;
    row.mins = qMin(60, unnamed + minuteCount(coveredMinutes()));
    row.recv = saturatingSum(base_.recv, added_.recv);
    row.sent = saturatingSum(base_.sent, added_.sent);
    row.recv_peak = qMax(base_.recv_peak, recvPeak_);
    row.sent_peak = qMax(base_.sent_peak, sentPeak_);
    row.total_peak = qMax(base_.total_peak, totalPeak_);
    return true;
}

int HourLedger::resumeMinutes(const std::vector<store::HourMinutes> &stored)
{
    int rejected = 0;
    for (const store::HourMinutes &hour : stored) {
        if (hour.covered < 0 || hour.covered >= qint64(1) << 60) {
            ++rejected;
            continue;
        }
        storedMinutes_.insert(QByteArray::fromStdString(hour.hour), quint64(hour.covered));
    }
    return rejected;
}

void HourLedger::account(const LocalMinute &when, const ByteCounts &bytes)
{
    enterHour(when.hourText);
    if (when.epochMinute != minute_) {
        if (minute_ >= 0) {
            closeMinute();
            due_ = true;
            // Samples further apart than a minute cover the minutes between them.
            for (qint64 m = minute_ + 1; m < when.epochMinute; ++m) {
                const int minuteOfHour = when.minuteOfHour - int(when.epochMinute - m);
                if (minuteOfHour >= 0) {
                    current_.cover(minuteOfHour);
                }
            }
        }
        minute_ = when.epochMinute;
    }
    current_.add(bytes, when.minuteOfHour);
    minuteBytes_ += bytes;
}

void HourLedger::creditUnplaced(const LocalMinute &when, const ByteCounts &bytes)
{
    enterHour(when.hourText);
    current_.addUnplaced(bytes);
    due_ = true;
}

void HourLedger::interrupt()
{
    if (minute_ >= 0) {
        closeMinute();
        due_ = true;
        minute_ = -1;
    }
}

bool HourLedger::rowsToSave(store::MeterStore &store, std::vector<store::HourWrite> &writes)
{
    due_ = false;
    std::vector<HourRow *> rows;
    for (HourRow &row : finished_) {
        rows.push_back(&row);
    }
    if (!current_.hour().isEmpty()) {
        rows.push_back(&current_);
    }
    writes.clear();
    for (HourRow *row : rows) {
        store::HourWrite write{row->hour().toStdString(), {}, qint64(row->coveredMinutes())};
        if (!row->record(store, write.record)) {
            return false;
        }
        writes.push_back(std::move(write));
    }
    return true;
}

void HourLedger::rowsSaved(const std::vector<store::HourWrite> &writes)
{
    finished_.clear();
    rememberStoredMinutes(writes);
}

bool HourLedger::current(store::MeterStore &store, QByteArray &hour, store::HourRecord &record)
{
    hour = current_.hour();
    return !hour.isEmpty() && current_.record(store, record);
}

void HourLedger::close()
{
    if (current_.hour().isEmpty()) {
        return;
    }
    closeMinute();
    finished_.push_back(current_);
    if (finished_.size() > kMaxUnsavedHours) {
        qWarning().noquote() << "Dropping the unsaved hour" << finished_.front().hour();
        finished_.erase(finished_.begin());
    }
    current_ = HourRow();
    minute_ = -1;
    due_ = true;
}

// As the store keeps them: those of the hours written replace those of the
// same and of earlier hours.
void HourLedger::rememberStoredMinutes(const std::vector<store::HourWrite> &writes)
{
    if (writes.empty()) {
        return;
    }
    QByteArray earliest = QByteArray::fromStdString(writes.front().hour);
    for (const store::HourWrite &write : writes) {
        earliest = qMin(earliest, QByteArray::fromStdString(write.hour));
    }
    for (auto it = storedMinutes_.begin(); it != storedMinutes_.end();) {
        it = it.key() < earliest ? storedMinutes_.erase(it) : std::next(it);
    }
    for (const store::HourWrite &write : writes) {
        storedMinutes_.insert(QByteArray::fromStdString(write.hour), quint64(write.coveredMinutes));
    }
}

void HourLedger::enterHour(const QByteArray &hour)
{
    if (hour != current_.hour()) {
        close();
        current_ = HourRow(hour, storedMinutes_.value(hour));
    }
}

void HourLedger::closeMinute()
{
    current_.closeMinute(minuteBytes_);
    minuteBytes_ = ByteCounts();
}

} // namespace vexmora::meter
