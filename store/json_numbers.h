#pragma once

#include <cstddef>

// Numbers of the reports, printed faster than cJSON prints them but to the
// same bytes, so that reply texts stay what clients have always received.
namespace vexmora::store {

// Room for the longest text: a sign, 17 digits, a point and an exponent.
inline constexpr std::size_t kNumberTextSize = 32;

// Writes `value` as cJSON 1.7.15 prints a number item made from it, NUL
// included, and answers the length: "null" for NaN and infinities, otherwise
// as printf's %.15g, or %.17g when that text does not read back as the value
// within one epsilon relative to the larger of the two (negative zero is "-0").
std::size_t printNumber(double value, char (&text)[kNumberTextSize]);

} // namespace vexmora::store
