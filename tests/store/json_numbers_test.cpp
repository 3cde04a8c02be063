// The report entries' numbers against the installed cJSON: for every value,
// an entry built by the store must print as cJSON prints a number member.
#include "entry_builder.h"
#include "store_test_support.h"
#include "traffic_reports.h"

#include <cfloat>
#include <cjson/cJSON.h>
#include <climits>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <random>

using namespace vexmora::store;
using storetest::printed;

namespace {

void expectSameText(double value)
{
    cJSON *expected = cJSON_CreateObject();
    cJSON_AddNumberToObject(expected, "n", value);
    cJSON *built = cJSON_CreateArray();
    EntryBuilder entry;
    entry.number("n", value);
    entry.addTo(built);
    ASSERT_EQ(printed(built), "[" + printed(expected) + "]")
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
    // Whole numbers, hundredths, many digits, beyond the integers, the special values.
    // clang-format off
    const double values[] = {
        0, 1, -1, 7, INT_MAX, INT_MIN, 3e9, -3e9, 9007199254740993.0, 1e15 - 1, 1e15, 1e16, 1e21,
        0.01, -0.01, 0.005, 0.015, 0.1 + 0.2, 1234567890123.45, 1.0 / 3, -2.0 / 3,
        123456789012345.6, 1e15 + 0.5, 1e-5, INT_MAX + 0.5, INT_MIN - 0.5, -1e22, DBL_MAX,
        -DBL_MAX, -0.0, DBL_MIN, DBL_TRUE_MIN, -DBL_TRUE_MIN, NAN, INFINITY, -INFINITY};
    // clang-format on
    for (double value : values) {
        expectSameTextAround(value, 3);
    }
}

TEST(JsonNumbers, ReportValuesAndAnyDoublePrintAsCJsonPrintsThem)
{
    std::mt19937_64 random(4242);
    for (int i = 0; i < 100000; ++i) {
        // Byte counts of every magnitude, their GiB and the sums of two.
        const auto bytes = static_cast<int64_t>(random()) >> (random() % 64);
        const auto other = static_cast<int64_t>(random()) >> (random() % 64);
        expectSameText(bytesToGiB(bytes));
        expectSameText(bytesToGiB(bytes) + bytesToGiB(other));
        // Hundredths up to 10^14 and the doubles next to them.
        const auto hundredths =
            static_cast<int64_t>(random() % 100000000000000) * (random() % 2 == 0 ? 1 : -1) >>
            (random() % 48);
        expectSameTextAround(static_cast<double>(hundredths) / 100, 1);
        // Any bit pattern, and numbers around 1, where 15 and 17 digits differ most often.
        const uint64_t bits = random();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        expectSameText(value);
        expectSameText(std::ldexp(static_cast<double>(bits >> 11), -53 + static_cast<int>(i % 8)));
    }
}

} // namespace
