// The report entries' numbers against the installed cJSON: for every value,
// an entry built by the store must print as cJSON prints a number member.
#include "entry_builder.h"
#include "traffic_reports.h"

#include <cfloat>
#include <cjson/cJSON.h>
#include <climits>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

using namespace vexmora::store;

namespace {

std::string printedAndDeleted(cJSON *item)
{
    char *text = cJSON_PrintUnformatted(item);
    std::string result = text != nullptr ? text : "<null>";
    cJSON_free(text);
    cJSON_Delete(item);
    return result;
}

void expectSameText(double value)
{
    char text[kNumberTextSize];
    const std::size_t length = printNumber(value, text);
    EXPECT_EQ(length, std::strlen(text));

    cJSON *expected = cJSON_CreateArray();
    cJSON *object = cJSON_CreateObject();
    cJSON_AddNumberToObject(object, "n", value);
    cJSON_AddItemToArray(expected, object);
    cJSON *built = cJSON_CreateArray();
    EntryBuilder entry;
    entry.number("n", value);
    entry.addTo(built);
    ASSERT_EQ(printedAndDeleted(built), printedAndDeleted(expected))
        << "value bits " << std::hexfloat << value;
}

// `value` and the doubles up to `steps` apart on either side.
void expectSameTextAround(double value, int steps)
{
    double below = value;
    double above = value;
    expectSameText(value);
    for (int i = 0; i < steps; ++i) {
        below = std::nextafter(below, -HUGE_VAL);
        above = std::nextafter(above, HUGE_VAL);
        expectSameText(below);
        expectSameText(above);
    }
}

TEST(JsonNumbers, EdgeValuesPrintAsCJsonPrintsThem)
{
    const std::vector<double> wholeNumbers = {
        0, 1, -1, 7, INT_MAX, INT_MIN, 3e9, -3e9, 9007199254740993.0, 1e15 - 1, 1e15, 1e16, 1e21,
    };
    const std::vector<double> beyondInt = {
        INT_MAX + 1.0, INT_MIN - 1.0, INT_MAX + 0.5, INT_MIN - 0.5, -1e22, DBL_MAX, -DBL_MAX};
    const std::vector<double> hundredths = {
        0.01, -0.01, 0.005, 0.015, 0.1 + 0.2, 1234567890123.45, 0.30000000000000004};
    const std::vector<double> manyDigits = {1.0 / 3,    -2.0 / 3, 123456789012345.6,
                                            1e15 + 0.5, 1e-5,     0.0001};
    const std::vector<double> special = {-0.0, DBL_MIN,  DBL_TRUE_MIN, -DBL_TRUE_MIN,
                                         NAN,  INFINITY, -INFINITY};
    for (const auto &values : {wholeNumbers, beyondInt, hundredths, manyDigits, special}) {
        for (double value : values) {
            expectSameTextAround(value, 3);
        }
    }
}

TEST(JsonNumbers, ReportValuesPrintAsCJsonPrintsThem)
{
    std::mt19937_64 random(4242);
    for (int i = 0; i < 20000; ++i) {
        // Byte counts of every magnitude, their GiB and the sums of two.
        const auto bytes = static_cast<int64_t>(random()) >> (random() % 64);
        const auto other = static_cast<int64_t>(random()) >> (random() % 64);
        expectSameText(bytesToGiB(bytes));
        expectSameText(bytesToGiB(bytes) + bytesToGiB(other));
        // Hundredths up to 10^14 and a few doubles around them.
        const auto hundredths =
            static_cast<int64_t>(random() % 100000000000000) * (random() % 2 == 0 ? 1 : -1) >>
            (random() % 48);
        expectSameTextAround(static_cast<double>(hundredths) / 100, 2);
    }
}

TEST(JsonNumbers, AnyDoublePrintsAsCJsonPrintsIt)
{
    std::mt19937_64 random(1729);
    for (int i = 0; i < 200000; ++i) {
        const uint64_t bits = random();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        expectSameText(value);
        // Around 1, where 15 and 17 digits differ most often.
        expectSameText(std::ldexp(static_cast<double>(bits >> 11), -53 + static_cast<int>(i % 8)));
    }
}

} // namespace
