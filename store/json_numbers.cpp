#include "json_numbers.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace vexmora::store {
namespace {

// Whole numbers below 10^15 come out of 15 significant digits as their
// digits, and read back exactly; negative zero keeps its sign there.
bool isShortWholeNumber(double value)
{
    return std::fabs(value) < 1e15 && value == std::trunc(value) &&
           !(value == 0 && std::signbit(value));
}

// cJSON's test of whether a printed number read back well enough: equal up to
// one epsilon relative to the larger magnitude.
bool nearlyEqual(double a, double b)
{
    const double larger = std::fmax(std::fabs(a), std::fabs(b));
    return std::fabs(a - b) <= larger * DBL_EPSILON;
}

// The value that a C library read of `text` yields. from_chars leaves the
// value alone when it is out of range, where strtod saturates to infinity or
// underflows to zero.
double readBack(const char *text, const char *end, double printed)
{
    double value = 0;
    const auto result = std::from_chars(text, end, value);
    if (result.ec == std::errc::result_out_of_range) {
        return std::copysign(std::fabs(printed) >= 1 ? HUGE_VAL : 0.0, printed);
    }
    return value;
}

// The report's own values: GiB rounded to hundredths and their sums. When
// `value` is within cJSON's tolerance of the double nearest to n/100 (n not
// 0, below 10^14), %.15g rounds it to n/100 exactly, the distance being under
// half a unit of the fifteenth digit, and that text reads back as the nearby
// double: so n/100 is what cJSON prints. Answers the end of the text written,
// or null when the value is none of these.
char *printHundredths(double value, char *text, char *last)
{
    if (!(std::fabs(value) < 1e12)) {
        return nullptr;
    }
    const long long hundredths = std::llround(value * 100);
    if (hundredths == 0 || !nearlyEqual(static_cast<double>(hundredths) / 100, value)) {
        return nullptr;
    }
    const unsigned long long magnitude = std::llabs(hundredths);
    char *out = text;
    if (hundredths < 0) {
        *out++ = '-';
    }
    out = std::to_chars(out, last, magnitude / 100).ptr;
    const unsigned digits = magnitude % 100;
    if (digits != 0) {
        *out++ = '.';
        *out++ = static_cast<char>('0' + digits / 10);
        if (digits % 10 != 0) {
            *out++ = static_cast<char>('0' + digits % 10);
        }
    }
    return out;
}

std::size_t finish(char *text, char *end)
{
    *end = '\0';
    return static_cast<std::size_t>(end - text);
}

} // namespace

std::size_t printNumber(double value, char (&text)[kNumberTextSize])
{
    char *const last = text + kNumberTextSize - 1;
    if (!std::isfinite(value)) {
        std::memcpy(text, "null", 5);
        return 4;
    }
    if (isShortWholeNumber(value)) {
        return finish(text, std::to_chars(text, last, static_cast<long long>(value)).ptr);
    }
    if (char *end = printHundredths(value, text, last)) {
        return finish(text, end);
    }
    char *end = std::to_chars(text, last, value, std::chars_format::general, 15).ptr;
    if (!nearlyEqual(readBack(text, end, value), value)) {
        end = std::to_chars(text, last, value, std::chars_format::general, 17).ptr;
    }
    return finish(text, end);
}

} // namespace vexmora::store
