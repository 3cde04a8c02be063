#include "meter_store.h"

#include "app_statement.h"
#include "hour_statement.h"
#include "meter_store_connection.h"
#include "schema.h"
#include "store_transaction.h"
#include "vexmora_paths.h"

#include <algorithm>
#include <sys/stat.h>

namespace vexmora::store {

namespace {

// In the order of MeterSql.
constexpr const char *kMeterSql[] = {
    kSaveHourData,
    "DELETE FROM meter_minutes WHERE hour < ?;",
    "INSERT INTO meter_minutes (hour, covered) VALUES (?, ?) ON CONFLICT(hour) DO UPDATE SET "
    "covered = excluded.covered;",
    "DELETE FROM meter_baseline;",
    "INSERT INTO meter_baseline (interface, ifindex, boot_id, recv, sent, elapsed_ms) VALUES (?, "
    "?, ?, ?, ?, ?);",
    kAddDatedAppTraffic,
    "DELETE FROM meter_app_carry;",
    "INSERT INTO meter_app_carry (day, recv, sent) VALUES (?, ?, ?);",
    kLoadHourData,
    "SELECT interface, ifindex, boot_id, recv, sent, elapsed_ms FROM meter_baseline;",
    "SELECT hour, covered FROM meter_minutes;",
    "SELECT day, recv, sent FROM meter_app_carry;",
    "SELECT TOTAL(recv), TOTAL(sent) FROM app_data WHERE time >= date(?1 * 86400, 'unixepoch') "
    "AND pkgname <> ?2;",
    "SELECT pkgname FROM app_data WHERE time = date(?1 * 86400, 'unixepoch') AND "
    "typeof(pkgname) = 'text' LIMIT ?2;",
};
static_assert(std::size(kMeterSql) == size_t(MeterSql::Count));

bool sameFile(const struct stat &file, dev_t device, ino_t inode)
{
    return file.st_dev == device && file.st_ino == inode;
}

bool ensureTables(sqlite3 *db)
{
    return ensureTable(db, "hour_data", createHourDataTable) &&
           ensureTable(db, "app_data", createAppDataTable) &&
           ensureTable(db, "meter_minutes", createMeterMinutesTable) &&
           ensureTable(db, "meter_baseline", createMeterBaselineTable) &&
           ensureTable(db, "meter_app_carry", createMeterAppCarryTable);
}

// Steps each statement the writer binds, one per item.
template <typename Item, typename Bind>
bool writeEach(MeterConnection &c, MeterSql sql, const std::vector<Item> &items, Bind bind)
{
    for (const Item &item : items) {
        sqlite3_stmt *statement = c.statement(sql);
        if (statement == nullptr) {
            return false;
        }
        bind(statement, item);
        if (!stepWrite(c.db.get(), statement)) {
            return false;
        }
    }
    return true;
}

bool execStatement(MeterConnection &c, MeterSql sql)
{
    sqlite3_stmt *statement = c.statement(sql);
    return statement != nullptr && stepWrite(c.db.get(), statement);
}

// The minutes of the hours written replace those of the same and of earlier hours.
bool replaceMinutes(MeterConnection &c, const std::vector<HourWrite> &hours)
{
    if (hours.empty()) {
        return true;
    }
    const std::string &earliest =
        std::min_element(hours.begin(), hours.end(), [](const HourWrite &a, const HourWrite &b) {
            return a.hour < b.hour;
        })->hour;
    sqlite3_stmt *drop = c.statement(MeterSql::DropEarlierMinutes);
    if (drop == nullptr) {
        return false;
    }
    sqlite3_bind_text(drop, 1, earliest.c_str(), -1, SQLITE_STATIC);
    return stepWrite(c.db.get(), drop) &&
           writeEach(c, MeterSql::SaveMinutes, hours, [](sqlite3_stmt *s, const HourWrite &hour) {
               sqlite3_bind_text(s, 1, hour.hour.c_str(), -1, SQLITE_STATIC);
               sqlite3_bind_int64(s, 2, hour.coveredMinutes);
           });
}

bool writeHours(MeterConnection &c, const std::vector<HourWrite> &hours)
{
    return writeEach(c, MeterSql::SaveHour, hours, [](sqlite3_stmt *s, const HourWrite &hour) {
        bindHourRecord(s, hour.hour.c_str(), hour.record);
    });
}

bool replaceBaselines(MeterConnection &c, const std::vector<InterfaceBaseline> &baselines)
{
    return execStatement(c, MeterSql::ClearBaselines) &&
           writeEach(c, MeterSql::InsertBaseline, baselines,
                     [](sqlite3_stmt *s, const InterfaceBaseline &baseline) {
                         sqlite3_bind_text(s, 1, baseline.interface.c_str(), -1, SQLITE_STATIC);
                         sqlite3_bind_int64(s, 2, baseline.ifindex);
                         sqlite3_bind_text(s, 3, baseline.bootId.c_str(), -1, SQLITE_STATIC);
                         sqlite3_bind_int64(s, 4, baseline.recv);
                         sqlite3_bind_int64(s, 5, baseline.sent);
                         sqlite3_bind_int64(s, 6, baseline.elapsedMs);
                     });
}

// A carry of nothing is stored as no row.
bool replaceCarry(MeterConnection &c, const AppCarry &carry)
{
    if (!execStatement(c, MeterSql::ClearCarry)) {
        return false;
    }
    if (carry.utcDay < 0 || (carry.recv == 0 && carry.sent == 0)) {
        return true;
    }
    return writeEach(c, MeterSql::InsertCarry, std::vector<AppCarry>{carry},
                     [](sqlite3_stmt *s, const AppCarry &row) {
                         sqlite3_bind_int64(s, 1, row.utcDay);
                         sqlite3_bind_int64(s, 2, row.recv);
                         sqlite3_bind_int64(s, 3, row.sent);
                     });
}

bool writeApps(MeterConnection &c, const AppWrite &apps)
{
    return writeEach(c, MeterSql::AddDatedAppTraffic, apps.increments,
                     [](sqlite3_stmt *s, const AppIncrement &increment) {
                         bindAppTraffic(s, increment.app.c_str(), increment.recv, increment.sent);
                         sqlite3_bind_int64(s, 5, increment.utcDay);
                     }) &&
           replaceCarry(c, apps.carry);
}

} // namespace

sqlite3_stmt *MeterConnection::statement(MeterSql sql)
{
    Statement &kept = statements[size_t(sql)];
    if (!kept && !prepareStatement(db.get(), kMeterSql[size_t(sql)], kept)) {
        return nullptr;
    }
    sqlite3_reset(kept.get());
    sqlite3_clear_bindings(kept.get());
    return kept.get();
}

void MeterStore::preferLittleMemory()
{
    sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
}

MeterStore::MeterStore() = default;
MeterStore::~MeterStore() = default;

StoreResult MeterStore::open()
{
    connection_.reset();
    auto opened = std::make_unique<MeterConnection>();
    struct stat file
    {
    };
    if (!openWithMessage(opened->db) || !ensureTables(opened->db.get())) {
        return StoreResult::Failed;
    }
    if (stat(paths::kDatabaseFile, &file) == 0) {
        opened->device = file.st_dev;
        opened->inode = file.st_ino;
    }
    connection_ = std::move(opened);
    return StoreResult::Done;
}

MeterConnection *MeterStore::connection()
{
    struct stat file
    {
    };
    if (connection_ && stat(paths::kDatabaseFile, &file) == 0 &&
        sameFile(file, connection_->device, connection_->inode)) {
        return connection_.get();
    }
    return open() == StoreResult::Done ? connection_.get() : nullptr;
}

StoreResult MeterStore::failed()
{
    connection_.reset();
    return StoreResult::Failed;
}

StoreResult MeterStore::save(const std::vector<HourWrite> &hours, const AppWrite &apps,
                             const std::vector<InterfaceBaseline> &baselines)
{
    MeterConnection *c = connection();
    if (c == nullptr) {
        return StoreResult::Failed;
    }
    bool written = false;
    {
        Transaction transaction(c->db.get());
        written = transaction.begin("BEGIN IMMEDIATE;") && writeHours(*c, hours) &&
                  replaceMinutes(*c, hours) && writeApps(*c, apps) &&
                  replaceBaselines(*c, baselines) && transaction.commit();
    }
    // The meter writes once a minute or less: its cached pages would only
    // hold memory between writes, and the file's pages stay in the kernel's.
    sqlite3_db_release_memory(c->db.get());
    return written ? StoreResult::Done : failed();
}

int saveHoursAppsAndBaselines(const std::vector<HourWrite> &hours, const AppWrite &apps,
                              const std::vector<InterfaceBaseline> &baselines)
{
    MeterStore store;
    return store.save(hours, apps, baselines) == StoreResult::Done ? 0 : 1;
}

} // namespace vexmora::store
