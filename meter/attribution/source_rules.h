#pragma once

#include <QtGlobal>

namespace vexmora::meter {

// The rules both sources of per-socket counts keep (bpf_source/, socket_table/).

// A socket missing from one read of the kernel's live sockets may still have
// its final counts on the way; one missing from two reads in a row lost them
// (the kernel dropped their message or record) and is given up.
inline constexpr quint64 kReadsMissedWhenGivenUp = 2;
inline bool isGivenUp(quint64 readsMissed)
{
    return readsMissed >= kReadsMissedWhenGivenUp;
}

// The kernel's counts only grow: a count below the last one read is taken as
// no growth rather than a wrap.
inline quint64 growth(quint64 before, quint64 now)
{
    return now > before ? now - before : 0;
}

} // namespace vexmora::meter
