// Arbitrary bytes as netlink datagrams from the kernel's socket diagnostics:
// the parser reads what it can and counts what it cannot; the sanitizers
// catch any read beyond the buffer.
#include "diag_parser.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A buffer of exactly the input's size, so that a read past it is caught.
    const std::vector<char> datagram(data, data + size);
    vexmora::meter::DiagBatch batch;
    vexmora::meter::parseDiagMessages(datagram.data(), datagram.size(), batch);
    return 0;
}
