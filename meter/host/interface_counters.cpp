#include "interface_counters.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vexmora::meter {
namespace {

// Received bytes are the first number after the name, sent bytes the ninth.
constexpr int kRecvField = 0;
constexpr int kSentField = 8;
constexpr int kFieldCount = 16;

// The kernel never sends a dump's part larger than 32 KiB.
constexpr std::size_t kDumpBufferWords = 32768 / sizeof(quint64);
// A dump that the links' changes interrupted is asked for again this often.
constexpr int kDumpAttempts = 3;

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
    int fd = -1;
    quint32 sequence = 0;
    std::unique_ptr<quint64[]> buffer{new quint64[kDumpBufferWords]};

    ~LinkDump() { close(); }
    void close()
    {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = -1;
    }
    bool read(std::vector<InterfaceCounters> &interfaces)
    {
        for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
            bool interrupted = false;
            if (!dump(interfaces, interrupted)) {
                close(); // a later read starts on a clean socket
                return false;
            }
            if (!interrupted) {
                return true;
            }
        }
        return false;
    }
    bool request()
    {
        if (fd < 0) {
            fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        }
        struct
        {
            nlmsghdr header;
            ifinfomsg link;
        } message{};
        message.header.nlmsg_len = sizeof message;
        message.header.nlmsg_type = RTM_GETLINK;
        message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        message.header.nlmsg_seq = ++sequence;
        message.link.ifi_family = AF_UNSPEC;
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        return fd >= 0 && ::sendto(fd, &message, sizeof message, 0,
                                   reinterpret_cast<const sockaddr *>(&kernel),
                                   sizeof kernel) == ssize_t(sizeof message);
    }
    // False when the dump failed; `interrupted` when the links changed
    // during it, so that one may be missing or counted twice.
    bool dump(std::vector<InterfaceCounters> &interfaces, bool &interrupted)
    {
        if (!request()) {
            return false;
        }
        std::size_t count = 0;
        for (;;) {
            iovec part{buffer.get(), kDumpBufferWords * sizeof(quint64)};
            msghdr received{};
            received.msg_iov = &part;
            received.msg_iovlen = 1;
            ssize_t length = ::recvmsg(fd, &received, 0);
            if (length < 0 && errno == EINTR) {
                continue;
            }
            if (length <= 0 || (received.msg_flags & MSG_TRUNC)) {
                return false;
            }
            int left = int(length);
            for (auto *header = reinterpret_cast<const nlmsghdr *>(buffer.get());
                 NLMSG_OK(header, left); header = NLMSG_NEXT(header, left)) {
                if (header->nlmsg_seq != sequence) {
                    continue;
                }
                interrupted = interrupted || (header->nlmsg_flags & NLM_F_DUMP_INTR);
                if (header->nlmsg_type == NLMSG_DONE) {
                    interfaces.resize(count);
                    return true;
                }
                if (header->nlmsg_type == NLMSG_ERROR) {
                    return false;
                }
                if (header->nlmsg_type == RTM_NEWLINK) {
                    takeLink(header, interfaces, count);
                }
            }
        }
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
