#pragma once

#include "host_route_table.h"
#include "socket_record.h"

#include <QByteArray>
#include <QObject>
#include <functional>
#include <vector>

class QSocketNotifier;

namespace vexmora::meter {

// What the host does with the traffic to each prefix of its routes, for the
// counting of containers' sockets: the longest prefix decides, as in the
// host's own routing. Its local table (its own addresses) and the routes
// through no counted interface (bridges, veth pairs) keep the traffic on the
// host; link-local addresses never leave their link; an address no route
// covers cannot leave either. Only the prefixes that change the answer of a
// wider one are listed, the widest first.
std::vector<RoutePrefix> routePrefixes(const std::vector<HostRoute> &routes,
                                       const std::function<bool(int ifindex)> &counted);

// The host's routes, read again whenever the kernel announces that they
// changed (an address, an interface, a route added or removed).
class HostRoutes : public QObject
{
    Q_OBJECT

public:
    explicit HostRoutes(QObject *parent = nullptr);
    ~HostRoutes() override;

    // Subscribes to the kernel's announcements; false with the reason.
    bool watch(QString *error);
    bool read(std::vector<HostRoute> &routes, QString *error);

Q_SIGNALS:
    void changed();

private:
    void drainAnnouncements();

    NetlinkDump dump_;
    int announcements_ = -1;
    QSocketNotifier *notifier_ = nullptr;
};

} // namespace vexmora::meter
