#pragma once

// The statements of the traffic reports. The day count or the store's own
// hour text is formatted in with sqlite3_mprintf; no caller text ever is.
namespace vexmora::store {

inline constexpr char kRecentTop10[] =
    "SELECT pkgname, SUM(recv) AS recv_sum, SUM(sent) AS sent_sum, SUM(total) AS total_sum FROM "
    "app_data WHERE time BETWEEN DATE('now', '-%d day', 'localtime') AND DATE('now', '-1 day', "
    "'localtime') GROUP BY pkgname ORDER BY total_sum DESC LIMIT 10;";
inline constexpr char kRecentData[] =
    "SELECT time, mins, recv, sent, recv_peak, sent_peak, total_peak, report_status FROM hour_data "
    "WHERE time BETWEEN DATE('now', '-%d day', 'localtime') AND DATETIME('now', '-1 hour', "
    "'localtime') ;";
inline constexpr char kPendingHours[] =
    "SELECT time, mins, recv, sent, recv_peak, sent_peak, total_peak FROM hour_data WHERE "
    "report_status=0 AND time<=DATETIME('%s') ;";
inline constexpr char kMarkReported[] =
    "UPDATE hour_data SET report_status=1 WHERE report_status=0 AND time<=DATETIME('%s') ;";

} // namespace vexmora::store
