#pragma once

#include <QString>

namespace vexmora::files {

// Largest snapshot served. The system bus refuses messages over 32 MiB and
// disconnects the sender, so a reply must stay well below that.
inline constexpr long long kMaxSnapshotBytes = 16LL * 1024 * 1024;

// The whole text of the snapshot file at path, decoded as UTF-8, or "[]" when
// it cannot be opened or could not travel as a bus reply (not a regular file,
// over kMaxSnapshotBytes, holding a NUL byte).
QString readSnapshot(const char *path);

} // namespace vexmora::files
