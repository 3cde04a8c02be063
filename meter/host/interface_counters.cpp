#include "interface_counters.h"

#include "netlink_dump.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstring>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

namespace vexmora::meter {
namespace {

// Received bytes are the first number after the name, sent bytes the ninth.
constexpr int kRecvField = 0;
constexpr int kSentField = 8;
constexpr int kFieldCount = 16;

QByteArray readWhole(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool parseLine(const QByteArray &line, InterfaceCounters &counters)
{
    const int colon = line.indexOf(':');
    if (colon <= 0) {
        return false;
    }
    const QList<QByteArray> fields = line.mid(colon + 1).simplified().split(' ');
    if (fields.size() < kFieldCount) {
        return false;
    }
    bool recvOk = false;
    bool sentOk = false;
    counters.name = line.left(colon).trimmed();
    counters.bytes.recv = fields[kRecvField].toULongLong(&recvOk);
    counters.bytes.sent = fields[kSentField].toULongLong(&sentOk);
    return recvOk && sentOk && !counters.name.isEmpty();
}

// The next entry of `interfaces` to fill, reused when there is one.
InterfaceCounters &nextEntry(std::vector<InterfaceCounters> &interfaces, std::size_t &count)
{
    if (count == interfaces.size()) {
        interfaces.emplace_back();
    }
    return interfaces[count++];
}

void assignName(QByteArray &name, const char *text, int length)
{
    if (name.size() != length || std::memcmp(name.constData(), text, std::size_t(length)) != 0) {
        name = QByteArray(text, length);
    }
}

} // namespace

// One RTM_GETLINK dump on a netlink socket kept open between samples.
struct InterfaceReader::LinkDump
{
    NetlinkDump netlink{NETLINK_ROUTE};

    bool read(std::vector<InterfaceCounters> &interfaces)
    {
        QString error;
        if (!netlink.isOpen() && !netlink.open(&error)) {
            return false;
        }
        DumpRequest<ifinfomsg> message(RTM_GETLINK);
        message.body.ifi_family = AF_UNSPEC;
        std::size_t count = 0;
        const auto take = [&interfaces, &count](const nlmsghdr &header) {
            if (header.nlmsg_type == RTM_NEWLINK) {
                takeLink(&header, interfaces, count);
            }
        };
        if (!netlink.dump(
                message.header, "the links' dump", [&count] { count = 0; }, take, &error)) {
            netlink.close(); // a later read starts on a clean socket
            return false;
        }
        interfaces.resize(count);
        return true;
    }
    static void takeLink(const nlmsghdr *header, std::vector<InterfaceCounters> &interfaces,
                         std::size_t &count)
    {
        const auto *link = static_cast<const ifinfomsg *>(NLMSG_DATA(header));
        int left = int(header->nlmsg_len) - int(NLMSG_LENGTH(sizeof *link));
        const char *name = nullptr;
        int nameLength = 0;
        rtnl_link_stats64 stats{};
        bool counted = false;
        for (auto *attribute = IFLA_RTA(link); left > 0 && RTA_OK(attribute, left);
             attribute = RTA_NEXT(attribute, left)) {
            const auto *data = static_cast<const char *>(RTA_DATA(attribute));
            const int size = int(RTA_PAYLOAD(attribute));
            if (attribute->rta_type == IFLA_IFNAME) {
                name = data;
                nameLength = int(strnlen(data, std::size_t(size)));
            } else if (attribute->rta_type == IFLA_STATS64 &&
                       size >= int(offsetof(rtnl_link_stats64, tx_bytes) + sizeof stats.tx_bytes)) {
                std::memcpy(&stats, data, std::min(sizeof stats, std::size_t(size)));
                counted = true;
            }
        }
        if (nameLength == 0 || !counted) {
            return;
        }
        InterfaceCounters &entry = nextEntry(interfaces, count);
        assignName(entry.name, name, nameLength);
        entry.ifindex = link->ifi_index;
        entry.bytes = ByteCounts{stats.rx_bytes, stats.tx_bytes};
    }
};

std::vector<InterfaceCounters> parseNetDev(const QByteArray &text)
{
    std::vector<InterfaceCounters> interfaces;
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 2; i < lines.size(); ++i) {
        InterfaceCounters counters;
        if (parseLine(lines[i], counters)) {
            interfaces.push_back(std::move(counters));
        }
    }
    return interfaces;
}

InterfaceReader::InterfaceReader() : links_(std::make_unique<LinkDump>()) {}

InterfaceReader::InterfaceReader(QString root) : root_(std::move(root)) {}

InterfaceReader::~InterfaceReader() = default;
InterfaceReader::InterfaceReader(InterfaceReader &&) noexcept = default;
InterfaceReader &InterfaceReader::operator=(InterfaceReader &&) noexcept = default;

bool InterfaceReader::read(std::vector<InterfaceCounters> &interfaces)
{
    return links_ ? links_->read(interfaces) : readFiles(interfaces);
}

bool InterfaceReader::readFiles(std::vector<InterfaceCounters> &interfaces) const
{
    QFile file(root_ + QStringLiteral("/proc/net/dev"));
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    interfaces = parseNetDev(file.readAll());
    for (InterfaceCounters &interface : interfaces) {
        interface.ifindex = readWhole(sysPath(interface.name, "ifindex")).trimmed().toInt();
    }
    return true;
}

bool InterfaceReader::isPhysical(const QByteArray &name) const
{
    return QFileInfo::exists(sysPath(name, "device"));
}

quint64 InterfaceReader::linkBytesPerSecond(const QByteArray &name) const
{
    bool ok = false;
    const qint64 megabits = readWhole(sysPath(name, "speed")).trimmed().toLongLong(&ok);
    constexpr qint64 kMaxMegabits = 100'000'000; // beyond it the file is not a speed
    return ok && megabits > 0 && megabits <= kMaxMegabits ? quint64(megabits) * 125'000 : 0;
}

QByteArray InterfaceReader::bootId() const
{
    return readWhole(root_ + QStringLiteral("/proc/sys/kernel/random/boot_id")).trimmed();
}

QString InterfaceReader::sysPath(const QByteArray &name, const char *entry) const
{
    return root_ + QStringLiteral("/sys/class/net/") + QString::fromUtf8(name) + QLatin1Char('/') +
           QLatin1String(entry);
}

} // namespace vexmora::meter
