#pragma once

#include <QString>

namespace vexmora::meter {

// The longest name, in UTF-8 bytes, that a table, a row or a snapshot holds.
inline constexpr int kMaxNameBytes = 255;

// A process or application name as it may be shown and stored: whatever the
// process made its name, its command line or its file names say, the result
// holds no control character (C0, DEL and C1 become a visible stand-in,
// bidirectional formatting and line separators U+FFFD), no broken UTF-16
// (U+FFFD) and at most kMaxNameBytes bytes of UTF-8, cut at a character and
// marked with an ellipsis (maxBytes: a shorter bound).
QString displayableName(const QString &raw, int maxBytes = kMaxNameBytes);

// A name in parentheses belongs to the meter's own rows, such as
// "(unattributed)".
bool isReservedName(const QString &name);

// displayableName() that never gives a reserved name: a program that calls
// itself "(unattributed)" gets the row "[unattributed]".
QString displayableAppName(const QString &raw);

} // namespace vexmora::meter
