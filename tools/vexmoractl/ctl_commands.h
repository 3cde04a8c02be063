#pragma once

#include "ctl_arguments.h"

namespace vexmora::ctl {

enum ExitCode { kDone = 0, kRefused = 1, kBadUsage = 2, kUnreachable = 3 };

void writeOut(const QString &text);
void writeError(const QString &text);

// Carries out a checked request against the service; returns the exit code.
int runRequest(const Request &request);

} // namespace vexmora::ctl
