#pragma once

#include <cstdint>

struct sqlite3_stmt;

namespace vexmora::store {

// The upsert of an application's increments into its row of the current UTC
// day: addAppTraffic's statement, and the meter's transaction that writes the
// increments with the hour rows they were counted with.
inline constexpr char kAddAppTraffic[] =
    "INSERT INTO app_data (pkgname, recv, sent, total, time) VALUES (?, ?, ?, ?, date('now')) ON "
    "CONFLICT(pkgname, time) DO UPDATE SET recv = recv + excluded.recv, sent = sent + "
    "excluded.sent, total = total + excluded.total;";

// The meter's upsert of the same: the row of the UTC day the increments were
// counted in (days since the epoch, bound as ?5), so that a write that comes
// late never moves them into another day.
inline constexpr char kAddDatedAppTraffic[] =
    "INSERT INTO app_data (pkgname, recv, sent, total, time) VALUES (?, ?, ?, ?, date(?5 * 86400, "
    "'unixepoch')) ON CONFLICT(pkgname, time) DO UPDATE SET recv = recv + excluded.recv, sent = "
    "sent + excluded.sent, total = total + excluded.total;";

// Binds the name (not copied: it must outlive the step) and the increments
// to kAddAppTraffic or kAddDatedAppTraffic.
void bindAppTraffic(sqlite3_stmt *statement, const char *pkgname, int64_t recv, int64_t sent);

} // namespace vexmora::store
