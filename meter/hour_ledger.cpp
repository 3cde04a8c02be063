#include "hour_ledger.h"

#include <QDebug>
#include <bitset>
#include <ctime>
#include <limits>

namespace vexmora::meter {
namespace {

// Rows the store refused are kept this long (hours) before the oldest goes.
constexpr size_t kMaxUnsavedHours = 48;

qint32 kibPerSecond(quint64 minuteBytes)
{
    const quint64 rate = minuteBytes / 1024 / 60;
    return qint32(qMin<quint64>(rate, std::numeric_limits<qint32>::max()));
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

bool HourRow::save()
{
    store::HourRecord row{};
    return record(row) && store::saveHourData(hour_.constData(), row) == 0;
}

bool HourRow::loadBase()
{
    if (!baseLoaded_) {
        store::HourRecord stored{};
        if (store::loadHourData(hour_.constData(), stored) != 0) {
            return false;
        }
        base_ = stored;
        baseLoaded_ = true;
    }
    return true;
}

bool HourRow::record(store::HourRecord &row)
{
    if (!loadBase()) {
        return false;
    }
    const int covered = int(std::bitset<64>(coveredMinutes_).count());
    row = base_;
    row.mins = qMin(60, qMax(0, base_.mins) + covered);
    row.recv = base_.recv + qint64(added_.recv);
    row.sent = base_.sent + qint64(added_.sent);
    row.recv_peak = qMax(base_.recv_peak, recvPeak_);
    row.sent_peak = qMax(base_.sent_peak, sentPeak_);
    row.total_peak = qMax(base_.total_peak, totalPeak_);
    return true;
}

void HourLedger::account(const LocalMinute &when, const ByteCounts &bytes)
{
    if (when.hourText != current_.hour()) {
        close();
        current_ = HourRow(when.hourText);
    }
    if (when.epochMinute != minute_) {
        if (minute_ >= 0) {
            closeMinute();
            flush();
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

bool HourLedger::flush()
{
    if (!current_.hour().isEmpty() && !current_.save()) {
        // The rows kept from before would fail the same way; one message is enough.
        return false;
    }
    std::vector<HourRow> stillUnsaved;
    for (HourRow &row : unsaved_) {
        if (!row.save()) {
            stillUnsaved.push_back(std::move(row));
        }
    }
    unsaved_ = std::move(stillUnsaved);
    return true;
}

bool HourLedger::current(QByteArray &hour, store::HourRecord &record)
{
    hour = current_.hour();
    return !hour.isEmpty() && current_.record(record);
}

void HourLedger::interrupt()
{
    if (minute_ >= 0) {
        closeMinute();
        flush();
        minute_ = -1;
    }
}

void HourLedger::close()
{
    if (current_.hour().isEmpty()) {
        return;
    }
    closeMinute();
    if (!flush()) {
        qWarning().noquote() << "Could not write the hour" << current_.hour()
                             << "yet; it is kept and written again later.";
        unsaved_.push_back(current_);
        if (unsaved_.size() > kMaxUnsavedHours) {
            qWarning().noquote() << "Dropping the unsaved hour" << unsaved_.front().hour();
            unsaved_.erase(unsaved_.begin());
        }
    }
    current_ = HourRow();
    minute_ = -1;
}

void HourLedger::closeMinute()
{
    current_.closeMinute(minuteBytes_);
    minuteBytes_ = ByteCounts();
}

} // namespace vexmora::meter
