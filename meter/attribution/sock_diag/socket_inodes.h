#pragma once

#include <QHash>
#include <QString>

namespace vexmora::meter {

// The inode of every TCP and UDP socket (IPv4 and IPv6) of the calling
// thread's network namespace, by socket cookie; false with the reason when
// the kernel's socket table cannot be read.
bool listSocketInodes(QHash<quint64, quint32> &inodes, QString *error);

} // namespace vexmora::meter
