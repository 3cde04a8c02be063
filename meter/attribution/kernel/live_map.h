#pragma once

#include "kernel_socket_counters.h"
#include "socket_counts.h"

#include <QByteArray>
#include <array>
#include <unordered_set>
#include <vector>

class QString;
struct bpf_program;

namespace vexmora::meter {

// Reading what the kernel programs keep: their map of live sockets, the
// records of finished ones and the iterators' lists of sockets.

// Process names as shared byte arrays: thousands of sockets have a few
// hundred owners, and each name is allocated once. Each process id has a
// slot (modulo their number) with the name last seen under it: a read of the
// live map neither hashes nor allocates for a name it met before.
class CommNames
{
public:
    QByteArray of(quint32 tgid, const char (&comm)[VX_COMM_BYTES]);

private:
    static constexpr std::size_t kSlots = 1024;
    std::array<QByteArray, kSlots> slots_;
};

class LiveMapReader
{
public:
    LiveMapReader();

    KernelSocketCount toCount(quint64 cookie, const vx_socket_counts &counts, bool finished);
    // The live map's entries in batches: false with the errno in `error`.
    bool readBatches(int liveFd, KernelSockets &live, int *error);
    // Entry by entry, for kernels without batch lookups of hash maps.
    bool readEntries(int liveFd, KernelSockets &live, int *error);

private:
    std::vector<quint64> keys_;
    std::vector<vx_socket_counts> values_;
    CommNames names_;
};

// Whether a batch lookup failed because the kernel does not offer it.
bool batchUnsupported(int error);

// Puts prefixes into the route map `fd` (VX_ROUTE_PREFIXES at most, the
// first ones), in place of what it held: the number left out, -1 with the
// reason when the kernel refused one.
int replaceRoutePrefixes(int fd, const std::vector<RoutePrefix> &prefixes, QString *error);

// Runs a listing iterator to its end: the cookies it writes, 8 bytes each.
bool readCookies(bpf_program *program, std::unordered_set<quint64> &cookies, QString *error);

} // namespace vexmora::meter
