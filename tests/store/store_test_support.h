#pragma once

// The store tests' fixture: a fresh state directory for every case, a
// connection of the test's own for crafting and reading back rows, and local
// hours and dates computed apart from SQLite.

#include "vexmora_paths.h"

#include <cjson/cJSON.h>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <string>
#include <thread>

namespace storetest {

// "YYYY-MM-DD HH:00" of the local hour `hoursAgo` hours before the current one.
inline std::string localHour(int hoursAgo)
{
    const time_t then = time(nullptr) - time_t(hoursAgo) * 3600;
    char text[20];
    strftime(text, sizeof text, "%Y-%m-%d %H:00", localtime(&then));
    return text;
}

// "YYYY-MM-DD" of the local day `daysAgo` days before today.
inline std::string localDate(int daysAgo)
{
    const time_t now = time(nullptr);
    tm t = *localtime(&now);
    t.tm_mday -= daysAgo;
    t.tm_hour = 12; // noon stays on its day whether the day has 23, 24 or 25 hours
    t.tm_isdst = -1;
    mktime(&t);
    char text[12];
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
        std::filesystem::remove_all(vexmora::paths::kStateDir);
        std::filesystem::create_directories(vexmora::paths::kStateDir);
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
        ASSERT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sql << ": " << sqlite3_errmsg(db_);
    }

    // The rows of a select, columns joined by '|', each row ended by a line feed.
    std::string rows(const std::string &sql)
    {
        std::string result;
        auto addRow = [](void *out, int count, char **values, char **) {
            auto &text = *static_cast<std::string *>(out);
            for (int column = 0; column < count; ++column) {
                text +=
                    std::string(column > 0 ? "|" : "") + (values[column] ? values[column] : "NULL");
            }
            text += '\n';
            return 0;
        };
        sqlite3_exec(db_, sql.c_str(), addRow, &result, nullptr);
        return result;
    }

    sqlite3 *db_ = nullptr;
};

} // namespace storetest
