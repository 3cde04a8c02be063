#pragma once

#include <QtGlobal>
#include <map>
#include <string>

namespace attributionbench {

// Run time and count of this process's kernel programs, by name, as the
// kernel keeps them while its BPF statistics are on (bpf_enable_stats).
struct ProgramRuns
{
    quint64 nanoseconds = 0, runs = 0;
};
using AllRuns = std::map<std::string, ProgramRuns>;

AllRuns allRuns();
ProgramRuns runsOf(const char *name);
// Prints each program that ran between the two readings: its time per run.
void printRunsBetween(const char *what, const AllRuns &before, const AllRuns &after);

} // namespace attributionbench
