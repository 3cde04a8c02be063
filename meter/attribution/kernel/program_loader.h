#pragma once

#include <QString>

struct socket_counters;

namespace vexmora::meter {

// The kernel programs of socket_counters.bpf.c, loaded for one network
// namespace; attached as links that the skeleton owns.
struct LoadedPrograms
{
    socket_counters *skeleton = nullptr;
    bool movers = false; // the send/receive tracepoints are loaded (and, once attached, attached)
};

// The cookie of the calling thread's network namespace.
bool currentNetnsCookie(quint64 *cookie, QString *error);

// Loads the programs for the sockets of network namespace `netns`, the
// tracepoint programs only where the kernel has those tracepoints.
bool loadPrograms(quint64 netns, quint32 maxLiveSockets, LoadedPrograms &loaded, QString *error);

// Attaches them at the cgroup `cgroupFd`: ownership and lifetime first, then
// the sockets of the calling thread's namespace that exist already are
// marked, then counting starts.
bool attachPrograms(LoadedPrograms &loaded, int cgroupFd, QString *error);

void destroyPrograms(LoadedPrograms &loaded);

} // namespace vexmora::meter
