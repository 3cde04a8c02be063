#pragma once

namespace vexmora {

// Largest snapshot served. The system bus refuses messages over 32 MiB and
// disconnects the sender, so a reply must stay well below that.
inline constexpr long long kMaxSnapshotBytes = 16LL * 1024 * 1024;

} // namespace vexmora
