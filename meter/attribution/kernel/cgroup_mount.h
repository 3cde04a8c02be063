#pragma once

#include <QByteArray>
#include <QString>

namespace vexmora::meter {

// The mount point of the cgroup v2 hierarchy in a /proc/PID/mountinfo text
// (on a hybrid host the unified one beside the v1 controllers); empty when
// none is mounted.
QString cgroupV2MountPoint(const QByteArray &mountinfo);

} // namespace vexmora::meter
