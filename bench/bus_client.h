#pragma once

#include "sample_stats.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariantList>
#include <functional>
#include <vector>

namespace bench {

// Calls the service as a client does, one blocking call at a time. Any error
// reply ends the benchmark: a figure of a failed call means nothing.
class BusClient
{
public:
    explicit BusClient(QDBusConnection connection) : connection_(std::move(connection)) {}

    // A method call of the service's interface.
    static QDBusMessage methodCall(const QString &method, const QVariantList &arguments = {});
    // org.freedesktop.DBus.Peer.Ping to the service's connection.
    static QDBusMessage pingCall();

    QDBusMessage send(const QDBusMessage &call);
    // Sends a call that must be refused with the D-Bus error `errorName`.
    void sendRefused(const QDBusMessage &call, const QString &errorName);
    // The single string answer of a call.
    QString text(const QDBusMessage &call);

    QDBusConnection &connection() { return connection_; }

private:
    QDBusConnection connection_;
};

struct PairedSummary
{
    Summary method;
    Summary ping;
};

// Alternates the call with a Ping, `count` of each, so that both see the
// same machine load; summarizes the two series.
PairedSummary measureAgainstPing(BusClient &client, const QDBusMessage &call, int count);

// The same for several calls sent in turn, each after a Ping, `rounds`
// times: all calls and their Pings see the same load. One summary per call.
std::vector<PairedSummary> measureInTurnAgainstPing(BusClient &client,
                                                    const std::vector<std::function<void()>> &calls,
                                                    int rounds);

} // namespace bench
