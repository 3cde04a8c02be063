#include "live_map.h"

#include <QString>
#include <algorithm>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cerrno>
#include <cstring>
#include <set>
#include <unistd.h>

namespace vexmora::meter {

namespace {

// Entries per batch lookup: a few calls for thousands of sockets, small buffers.
constexpr std::size_t kBatchEntries = 512;

} // namespace

QByteArray CommNames::of(quint32 tgid, const char (&comm)[VX_COMM_BYTES])
{
    const int length = int(strnlen(comm, VX_COMM_BYTES - 1));
    QByteArray &name = slots_[tgid % kSlots];
    if (name.size() != length || std::memcmp(name.constData(), comm, std::size_t(length)) != 0)
        name = QByteArray(comm, length);
    return name;
}

LiveMapReader::LiveMapReader() : keys_(kBatchEntries), values_(kBatchEntries) {}

KernelSocketCount LiveMapReader::toCount(quint64 cookie, const vx_socket_counts &counts,
                                         bool finished)
{
    KernelSocketCount result;
    result.cookie = cookie;
    result.life = counts.life;
    result.tgid = counts.tgid;
    result.uid = counts.uid;
    result.comm = names_.of(counts.tgid, counts.comm);
    result.protocol = counts.protocol;
    result.contained = counts.contained != 0;
    result.wire = {counts.wire[VX_RECV], counts.wire[VX_SENT]};
    result.payload = {counts.payload[VX_RECV], counts.payload[VX_SENT]};
    result.packets = {counts.packets[VX_RECV], counts.packets[VX_SENT]};
    result.finished = finished;
    return result;
}

bool LiveMapReader::readBatches(int liveFd, KernelSockets &live, int *error)
{
    LIBBPF_OPTS(bpf_map_batch_opts, options);
    quint64 position = 0;
    bool first = true;
    for (;;) {
        __u32 count = quint32(keys_.size());
        const int rc = bpf_map_lookup_batch(liveFd, first ? nullptr : &position, &position,
                                            keys_.data(), values_.data(), &count, &options);
        const int cause = rc < 0 ? -rc : 0;
        if (rc < 0 && cause == ENOSPC) { // a bucket holds more than fits: retry with room
            keys_.resize(keys_.size() * 2);
            values_.resize(values_.size() * 2);
            continue;
        }
        if (rc < 0 && cause != ENOENT) {
            *error = cause;
            return false;
        }
        for (__u32 i = 0; i < count; ++i)
            live.push_back(toCount(keys_[i], values_[i], false));
        if (cause == ENOENT)
            return true;
        first = false;
    }
}

bool LiveMapReader::readEntries(int liveFd, KernelSockets &live, int *error)
{
    // A key deleted under the walk restarts it at the first key: collect the
    // keys once each, then look them up (a socket finished meanwhile is gone).
    std::vector<quint64> cookies;
    std::unordered_set<quint64> seen;
    quint64 key = 0;
    int rc = 0;
    for (const void *previous = nullptr; (rc = bpf_map_get_next_key(liveFd, previous, &key)) == 0;
         previous = &key) {
        if (!seen.insert(key).second)
            break;
        cookies.push_back(key);
    }
    if (rc < 0 && rc != -ENOENT) {
        *error = -rc;
        return false;
    }
    vx_socket_counts counts;
    for (quint64 cookie : cookies) {
        if (bpf_map_lookup_elem(liveFd, &cookie, &counts) == 0)
            live.push_back(toCount(cookie, counts, false));
    }
    return true;
}

bool batchUnsupported(int error)
{
    return error == EINVAL || error == EOPNOTSUPP || error == 524 /* the kernel's ENOTSUPP */;
}

bool readCookies(bpf_program *program, std::unordered_set<quint64> &cookies, QString *error)
{
    bpf_link *link = bpf_program__attach_iter(program, nullptr);
    const int fd = link ? bpf_iter_create(bpf_link__fd(link)) : -1;
    QByteArray bytes;
    char buffer[4096];
    ssize_t read = -1;
    while (fd >= 0 && (read = ::read(fd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, int(read));
    const int cause = errno;
    if (fd >= 0)
        ::close(fd);
    bpf_link__destroy(link);
    if (read != 0) {
        *error = QStringLiteral("cannot list the sockets with %1: %2")
                     .arg(QString::fromLatin1(bpf_program__name(program)), qt_error_string(cause));
        return false;
    }
    for (int at = 0; at + int(sizeof(quint64)) <= bytes.size(); at += int(sizeof(quint64))) {
        quint64 cookie = 0;
        std::memcpy(&cookie, bytes.constData() + at, sizeof cookie);
        cookies.insert(cookie);
    }
    return true;
}

namespace {

vx_route_key routeKey(const RoutePrefix &prefix)
{
    vx_route_key key{prefix.bits, {}};
    std::memcpy(key.address, prefix.address.data(), sizeof key.address);
    return key;
}

} // namespace

int replaceRoutePrefixes(int fd, const std::vector<RoutePrefix> &prefixes, QString *error)
{
    const std::size_t kept = std::min<std::size_t>(prefixes.size(), VX_ROUTE_PREFIXES);
    std::set<std::pair<std::array<quint8, 16>, quint8>> wanted;
    for (std::size_t i = 0; i < kept; ++i)
        wanted.emplace(prefixes[i].address, prefixes[i].bits);
    // What no longer is a route goes first, so that the new ones fit.
    vx_route_key key{}, next{};
    std::vector<vx_route_key> gone;
    for (const void *at = nullptr; bpf_map_get_next_key(fd, at, &next) == 0; at = &key) {
        key = next;
        std::array<quint8, 16> address;
        std::memcpy(address.data(), key.address, address.size());
        if (!wanted.count({address, quint8(key.prefix_bits)}))
            gone.push_back(key);
    }
    for (const vx_route_key &stale : gone)
        bpf_map_delete_elem(fd, &stale);
    for (std::size_t i = 0; i < kept; ++i) {
        const vx_route_key fresh = routeKey(prefixes[i]);
        const quint8 stays = prefixes[i].staysOnHost ? 1 : 0;
        if (bpf_map_update_elem(fd, &fresh, &stays, BPF_ANY) != 0) {
            *error = QStringLiteral("cannot keep the host's routes: ") + qt_error_string(errno);
            return -1;
        }
    }
    return int(prefixes.size() - kept);
}

} // namespace vexmora::meter
