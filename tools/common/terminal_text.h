#pragma once

#include <QString>

namespace vexmora::tools {

// Text from the bus as one line a terminal shows as text: control characters
// (C0 with the line feed, DEL, C1), bidirectional formatting and line
// separators are written as \xHH or \uHHHH, a backslash as \\.
QString escapedText(const QString &text);

// Text as the tool prints it: its own line feeds stay, any other character
// escapedText() escapes is escaped. The last guard before the terminal.
QString terminalText(const QString &text);

} // namespace vexmora::tools
