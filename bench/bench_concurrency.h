#pragma once

#include <QDBusMessage>
#include <QString>
#include <QVector>

namespace bench {

// Calls per second that `clients` threads, each with a bus connection of its
// own, complete together in `milliseconds`, each thread sending the calls of
// `rotation` in turn as fast as the replies come.
double concurrentThroughput(const QString &busAddress, int clients,
                            const QVector<QDBusMessage> &rotation, int milliseconds);

} // namespace bench
