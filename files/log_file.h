#pragma once

#include <QString>

namespace vexmora::files {

// Appends "[hh:mm:ss:zzz]  message" and a line feed to the log file of the
// state directory, creating it when missing, and echoes the entry on the Qt
// debug stream. Whether the entry reached the file is not checked.
void appendLogEntry(const QString &message);

} // namespace vexmora::files
