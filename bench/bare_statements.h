#pragma once

namespace bench {

// The report statements of the store run in this process on the same database
// and in the same pattern (a connection of their own with the same busy
// time-out, the same statement text, every row stepped and its columns read),
// without building JSON. Each answers the number of rows it read.
int bareRecentTop10(int days);
int bareRecentData(int days);
// What one getReportData runs: the pending hours, then the top ten of 7 and 30 days.
int bareReportData();

} // namespace bench
