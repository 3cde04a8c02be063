#include "kernel_socket_counters.h"

#include "cgroup_mount.h"
#include "program_loader.h"
#include "socket_counters.skel.h"
#include "socket_counts.h"

#include <QFile>
#include <array>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <type_traits>
#include <unistd.h>
#include <unordered_set>

namespace vexmora::meter {

namespace {

constexpr quint32 kDefaultMaxLiveSockets = 65536;
// Entries per batch lookup: a few calls for thousands of sockets, small buffers.
constexpr quint32 kBatchEntries = 512;

// The programs' global counters, as the skeleton lays them out.
using ProgramGlobals = std::remove_pointer_t<decltype(socket_counters::bss)>;

// Process names as shared byte arrays: thousands of sockets have a few
// hundred owners, and each name is allocated once. Each process id has a
// slot (modulo their number) with the name last seen under it: a read of the
// live map neither hashes nor allocates for a name it met before.
class CommNames
{
public:
    QByteArray of(quint32 tgid, const char (&comm)[VX_COMM_BYTES])
    {
        const int length = int(strnlen(comm, VX_COMM_BYTES - 1));
        QByteArray &name = slots_[tgid % kSlots];
        if (name.size() != length || std::memcmp(name.constData(), comm, std::size_t(length)) != 0)
            name = QByteArray(comm, length);
        return name;
    }

private:
    static constexpr std::size_t kSlots = 1024;
    std::array<QByteArray, kSlots> slots_;
};

KernelSocketCount fromKernel(quint64 cookie, const vx_socket_counts &counts, bool finished,
                             CommNames &names)
{
    KernelSocketCount result;
    result.cookie = cookie;
    result.life = counts.life;
    result.tgid = counts.tgid;
    result.uid = counts.uid;
    result.comm = names.of(counts.tgid, counts.comm);
    result.protocol = counts.protocol;
    result.wire = {counts.wire[VX_RECV], counts.wire[VX_SENT]};
    result.payload = {counts.payload[VX_RECV], counts.payload[VX_SENT]};
    result.packets = {counts.packets[VX_RECV], counts.packets[VX_SENT]};
    result.finished = finished;
    return result;
}

bool batchUnsupported(int error)
{
    return error == EINVAL || error == EOPNOTSUPP || error == 524 /* the kernel's ENOTSUPP */;
}

// Runs a listing iterator to its end: the cookies it writes, 8 bytes each.
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

QString mapError(int error)
{
    return QStringLiteral("cannot read the kernel's socket counters: ") + qt_error_string(error);
}

} // namespace

std::vector<quint64> vanishedEntries(const KernelSockets &live,
                                     const std::unordered_set<quint64> &existing)
{
    std::vector<quint64> vanished;
    for (const KernelSocketCount &socket : live) {
        const bool listable = socket.protocol == IPPROTO_TCP || socket.protocol == IPPROTO_UDP;
        if (listable && existing.count(socket.cookie) == 0)
            vanished.push_back(socket.cookie);
    }
    return vanished;
}

struct KernelSocketCounters::Private
{
    quint32 maxLiveSockets = kDefaultMaxLiveSockets;
    LiveLookup lookup = LiveLookup::Batch;
    LoadedPrograms programs;
    ring_buffer *finished = nullptr;
    std::vector<KernelSocketCount> *finishedSink = nullptr;
    std::vector<quint64> keys;
    std::vector<vx_socket_counts> values;
    mutable CommNames names;
    std::size_t lastLive = 0;

    int liveFd() const { return bpf_map__fd(programs.skeleton->maps.live); }
    bool readBatches(std::vector<KernelSocketCount> &live, int *error);
    bool readEntries(std::vector<KernelSocketCount> &live, int *error) const;
    ProgramGlobals globals() const;

    static int takeRecord(void *context, void *data, size_t size)
    {
        auto *self = static_cast<Private *>(context);
        if (size < sizeof(vx_finished_socket) || !self->finishedSink)
            return 0;
        vx_finished_socket record;
        std::memcpy(&record, data, sizeof record);
        self->finishedSink->push_back(fromKernel(record.cookie, record.counts, true, self->names));
        return 0;
    }
};

bool KernelSocketCounters::Private::readBatches(std::vector<KernelSocketCount> &live, int *error)
{
    LIBBPF_OPTS(bpf_map_batch_opts, options);
    quint64 position = 0;
    bool first = true;
    for (;;) {
        __u32 count = quint32(keys.size());
        const int rc = bpf_map_lookup_batch(liveFd(), first ? nullptr : &position, &position,
                                            keys.data(), values.data(), &count, &options);
        const int cause = rc < 0 ? -rc : 0;
        if (rc < 0 && cause == ENOSPC) { // a bucket holds more than fits: retry with room
            keys.resize(keys.size() * 2);
            values.resize(values.size() * 2);
            continue;
        }
        if (rc < 0 && cause != ENOENT) {
            *error = cause;
            return false;
        }
        for (__u32 i = 0; i < count; ++i)
            live.push_back(fromKernel(keys[i], values[i], false, names));
        if (cause == ENOENT)
            return true;
        first = false;
    }
}

bool KernelSocketCounters::Private::readEntries(std::vector<KernelSocketCount> &live,
                                                int *error) const
{
    // A key deleted under the walk restarts it at the first key: collect the
    // keys once each, then look them up (a socket finished meanwhile is gone).
    std::vector<quint64> cookies;
    std::unordered_set<quint64> seen;
    quint64 key = 0;
    int rc = 0;
    for (const void *previous = nullptr; (rc = bpf_map_get_next_key(liveFd(), previous, &key)) == 0;
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
        if (bpf_map_lookup_elem(liveFd(), &cookie, &counts) == 0)
            live.push_back(fromKernel(cookie, counts, false, names));
    }
    return true;
}

ProgramGlobals KernelSocketCounters::Private::globals() const
{
    ProgramGlobals values{};
    const int key = 0;
    if (programs.skeleton)
        bpf_map_lookup_elem(bpf_map__fd(programs.skeleton->maps.bss), &key, &values);
    return values;
}

KernelSocketCounters::KernelSocketCounters() : d(std::make_unique<Private>()) {}

KernelSocketCounters::~KernelSocketCounters()
{
    ring_buffer__free(d->finished);
    destroyPrograms(d->programs);
}

void KernelSocketCounters::setMaxLiveSockets(quint32 sockets)
{
    d->maxLiveSockets = qMax<quint32>(1, sockets);
}

void KernelSocketCounters::setLiveLookup(LiveLookup lookup)
{
    d->lookup = lookup;
}

bool KernelSocketCounters::open(QString *error)
{
    if (isOpen()) {
        *error = QStringLiteral("the kernel programs are loaded already");
        return false;
    }
    QFile mountinfo(QStringLiteral("/proc/self/mountinfo"));
    const QString root =
        mountinfo.open(QIODevice::ReadOnly) ? cgroupV2MountPoint(mountinfo.readAll()) : QString();
    if (root.isEmpty()) {
        *error = QStringLiteral("no cgroup v2 hierarchy is mounted");
        return false;
    }
    if (!QFile::exists(QStringLiteral("/sys/kernel/btf/vmlinux"))) {
        *error = QStringLiteral("the kernel has no BTF (/sys/kernel/btf/vmlinux)");
        return false;
    }
    quint64 netns = 0;
    if (!currentNetnsCookie(&netns, error) ||
        !loadPrograms(netns, d->maxLiveSockets, d->programs, error))
        return false;
    const int cgroup =
        ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = cgroup >= 0;
    if (!ok)
        *error = QStringLiteral("cannot open the cgroup %1: %2").arg(root, qt_error_string(errno));
    ok = ok && attachPrograms(d->programs, cgroup, error);
    if (cgroup >= 0)
        ::close(cgroup);
    if (ok) {
        d->finished = ring_buffer__new(bpf_map__fd(d->programs.skeleton->maps.finished),
                                       &Private::takeRecord, d.get(), nullptr);
        ok = d->finished != nullptr;
        if (!ok)
            *error = QStringLiteral("cannot map the ring buffer: ") + qt_error_string(errno);
    }
    if (!ok) {
        destroyPrograms(d->programs);
        return false;
    }
    d->keys.resize(kBatchEntries);
    d->values.resize(kBatchEntries);
    return true;
}

bool KernelSocketCounters::isOpen() const
{
    return d->programs.skeleton != nullptr;
}

int KernelSocketCounters::finishedFd() const
{
    return d->finished ? ring_buffer__epoll_fd(d->finished) : -1;
}

void KernelSocketCounters::setReaderAsleep(bool asleep)
{
    if (isOpen())
        __atomic_store_n(&d->programs.skeleton->bss->reader_asleep, asleep ? 1 : 0,
                         __ATOMIC_RELEASE);
}

void KernelSocketCounters::takeFinished(std::vector<KernelSocketCount> &finished)
{
    if (!d->finished)
        return;
    d->finishedSink = &finished;
    ring_buffer__consume(d->finished);
    d->finishedSink = nullptr;
}

bool KernelSocketCounters::readLive(std::vector<KernelSocketCount> &live, QString *error)
{
    if (!isOpen()) {
        *error = QStringLiteral("the kernel programs are not loaded");
        return false;
    }
    int cause = 0;
    const std::size_t before = live.size();
    live.reserve(before + d->lastLive + d->lastLive / 8);
    if (d->lookup == LiveLookup::Batch) {
        if (d->readBatches(live, &cause)) {
            d->lastLive = live.size() - before;
            return true;
        }
        if (!batchUnsupported(cause) || live.size() != before) {
            *error = mapError(cause);
            return false;
        }
        d->lookup = LiveLookup::EntryByEntry; // an older kernel: from now on
    }
    if (d->readEntries(live, &cause)) {
        d->lastLive = live.size() - before;
        return true;
    }
    *error = mapError(cause);
    return false;
}

bool KernelSocketCounters::listExisting(std::unordered_set<quint64> &cookies, QString *error)
{
    if (!isOpen()) {
        *error = QStringLiteral("the kernel programs are not loaded");
        return false;
    }
    return readCookies(d->programs.skeleton->progs.list_tcp, cookies, error) &&
           readCookies(d->programs.skeleton->progs.list_udp, cookies, error);
}

int KernelSocketCounters::finishVanished(std::vector<KernelSocketCount> &finished, QString *error)
{
    std::vector<KernelSocketCount> live;
    std::unordered_set<quint64> existing;
    if (!readLive(live, error) || !listExisting(existing, error))
        return -1;
    int count = 0;
    vx_socket_counts counts;
    for (quint64 cookie : vanishedEntries(live, existing)) {
        // Taken by whoever deletes it: the programs may finish it meanwhile.
        if (bpf_map_lookup_elem(d->liveFd(), &cookie, &counts) == 0 &&
            bpf_map_delete_elem(d->liveFd(), &cookie) == 0) {
            finished.push_back(fromKernel(cookie, counts, true, d->names));
            ++count;
        }
    }
    return count;
}

bool KernelSocketCounters::recordedExecution(quint32 tgid, QString *executable,
                                             QStringList *argv) const
{
    if (!isOpen() || !d->programs.executions)
        return false;
    vx_execution execution;
    if (bpf_map_lookup_elem(bpf_map__fd(d->programs.skeleton->maps.executions), &tgid,
                            &execution) != 0)
        return false;
    *executable = QFile::decodeName(
        QByteArray(execution.executable, int(strnlen(execution.executable, VX_PATH_BYTES))));
    const QByteArray arguments(execution.arguments,
                               int(qMin<quint32>(execution.argument_bytes, VX_ARGUMENT_BYTES)));
    argv->clear();
    for (const QByteArray &argument : arguments.split('\0'))
        argv->append(QFile::decodeName(argument));
    if (!argv->isEmpty() && argv->constLast().isEmpty())
        argv->removeLast();
    return !executable->isEmpty();
}

quint64 KernelSocketCounters::lostFinished() const
{
    return d->globals().lost_finished;
}

quint64 KernelSocketCounters::uncountedPackets() const
{
    return d->globals().uncounted_packets;
}

bool KernelSocketCounters::tracksMovers() const
{
    return isOpen() && d->programs.movers;
}

bool KernelSocketCounters::recordsCreators() const
{
    return isOpen() && d->programs.pids.creators != VX_PIDS_NONE;
}

QStringList KernelSocketCounters::kernelLacks() const
{
    return isOpen() ? describeLacks(d->programs) : QStringList();
}

QString KernelSocketCounters::processIds() const
{
    return describePids(d->programs);
}

} // namespace vexmora::meter
