#include "program_runs.h"

#include <QDir>
#include <QString>
#include <bpf/bpf.h>
#include <cstdio>

namespace attributionbench {

AllRuns allRuns()
{
    AllRuns all;
    for (const QString &entry : QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files)) {
        bpf_prog_info info{};
        __u32 length = sizeof info;
        if (bpf_obj_get_info_by_fd(entry.toInt(), &info, &length) == 0 &&
            info.type != BPF_PROG_TYPE_UNSPEC) {
            ProgramRuns &runs = all[info.name];
            runs.nanoseconds += info.run_time_ns;
            runs.runs += info.run_cnt;
        }
    }
    return all;
}
ProgramRuns runsOf(const char *name)
{
    return allRuns()[name];
}

void printRunsBetween(const char *what, const AllRuns &before, const AllRuns &after)
{
    std::printf("%s, programs per run:", what);
    for (const auto &[name, runs] : after) {
        const auto earlier = before.find(name);
        const ProgramRuns base = earlier == before.end() ? ProgramRuns{} : earlier->second;
        const quint64 count = runs.runs - base.runs;
        if (count > 0)
            std::printf(" %s %.0f ns (%llu runs);", name.c_str(),
                        double(runs.nanoseconds - base.nanoseconds) / double(count),
                        static_cast<unsigned long long>(count));
    }
    std::printf("\n");
}

} // namespace attributionbench
