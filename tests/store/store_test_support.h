#pragma once

// Shared fixture of the store tests: a fresh database file for every case, a
// connection of the test's own for crafting and reading back rows, and local and
// UTC dates computed independently of SQLite.

#include "vexmora_paths.h"

#include <cjson/cJSON.h>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace storetest {

// YYYY-MM-DD of the local day `daysAgo` days before today.
inline std::string localDate(int daysAgo)
{
    const time_t now = time(nullptr);
    tm t{};
    localtime_r(&now, &t);
    t.tm_mday -= daysAgo;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    mktime(&t);
    char text[16];
    strftime(text, sizeof text, "%Y-%m-%d", &t);
    return text;
}

// YYYY-MM-DD HH:00 of the local hour `hoursAgo` hours before the current one.
inline std::string localHour(int hoursAgo)
{
    const time_t then = time(nullptr) - static_cast<time_t>(hoursAgo) * 3600;
    tm t{};
    localtime_r(&then, &t);
    char text[20];
    strftime(text, sizeof text, "%Y-%m-%d %H:00", &t);
    return text;
}

inline std::string utcDate(int daysAgo)
{
    const time_t then = time(nullptr) - static_cast<time_t>(daysAgo) * 86400;
    tm t{};
    gmtime_r(&then, &t);
    char text[16];
    strftime(text, sizeof text, "%Y-%m-%d", &t);
    return text;
}

// Prints a cJSON item unformatted and releases item and text.
inline std::string printed(cJSON *item)
{
    char *text = cJSON_PrintUnformatted(item);
    std::string result = text != nullptr ? text : "<null>";
    cJSON_free(text);
    cJSON_Delete(item);
    return result;
}

class StoreTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(vexmora::paths::kStateDir);
        unlink(vexmora::paths::kDatabaseFile);
        unlink((std::string(vexmora::paths::kDatabaseFile) + "-journal").c_str());
        // Expectations are computed a moment before the store reads the
        // clock; keep both on the same side of an hour change.
        const time_t now = time(nullptr);
        if (now % 3600 >= 3597) {
            std::this_thread::sleep_for(std::chrono::seconds(3601 - now % 3600));
        }
        ASSERT_EQ(sqlite3_open(vexmora::paths::kDatabaseFile, &db_), SQLITE_OK);
    }
    void TearDown() override { sqlite3_close(db_); }

    void exec(const std::string &sql)
    {
        char *error = nullptr;
        ASSERT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
            << sql << ": " << (error != nullptr ? error : "");
    }

    // The rows of a select, columns joined by '|', each row ended by a line feed.
    std::string rows(const std::string &sql)
    {
        sqlite3_stmt *statement = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr), SQLITE_OK)
            << sql << ": " << sqlite3_errmsg(db_);
        std::string result;
        while (sqlite3_step(statement) == SQLITE_ROW) {
            for (int column = 0; column < sqlite3_column_count(statement); ++column) {
                const auto *text = sqlite3_column_text(statement, column);
                result += (column > 0 ? "|" : "");
                result += text != nullptr ? reinterpret_cast<const char *>(text) : "NULL";
            }
            result += '\n';
        }
        sqlite3_finalize(statement);
        return result;
    }

    sqlite3 *db_ = nullptr;
};

} // namespace storetest
