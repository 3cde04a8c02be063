#pragma once

#include "kernel_sockets.h"

#include <cstddef>

namespace kerneltest {

// Sends from `from` to `to` (an address and port each, IPv4 or IPv6: the
// wire's) `count` TCP segments with the ACK flag, timestamps and `payload`
// bytes, as the peer of a connection would whose own socket can no longer
// send: data still in flight after a reset, a late acknowledgement. The
// calling thread's namespace must own `from`.
void sendRawSegments(const Address &from, const Address &to, int count, std::size_t payload);

} // namespace kerneltest
