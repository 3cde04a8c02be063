#pragma once

#include "diag_socket.h"

#include <cstddef>
#include <vector>

namespace vexmora::meter {

// What a run of sock_diag netlink messages said.
struct DiagBatch
{
    std::vector<DiagSocket> sockets;
    bool done = false;     // NLMSG_DONE ended a dump
    int error = 0;         // errno of an NLMSG_ERROR reply or of a dump cut short, 0 if none came
    quint64 malformed = 0; // messages or attributes that were cut short or made no sense
};

// Appends what the netlink messages in data (one or more datagrams laid end to
// end) say to batch. Unknown message types and attributes are skipped; a cut
// message ends the parse, a cut attribute ends its message's attributes, and
// both are counted in batch.malformed.
void parseDiagMessages(const char *data, std::size_t size, DiagBatch &batch);

} // namespace vexmora::meter
