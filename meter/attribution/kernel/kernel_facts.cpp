#include "kernel_facts.h"

#include <QFile>
#include <bpf/btf.h>
#include <bpf/libbpf.h>
#include <cerrno>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace vexmora::meter {

namespace {

// The inode of the first pid namespace, fixed by the kernel (PROC_PID_INIT_INO).
constexpr ino_t kFirstPidNamespace = 0xEFFFFFFC;

} // namespace

QStringList missingCapabilities()
{
    QFile status(QStringLiteral("/proc/thread-self/status"));
    quint64 effective = 0;
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("CapEff:"))
                effective = line.mid(7).trimmed().toULongLong(nullptr, 16);
        }
    }
    QStringList missing;
    const auto check = [&](int capability, const char *name) {
        if (!(effective & (1ULL << capability)) && !(effective & (1ULL << CAP_SYS_ADMIN)))
            missing << QString::fromLatin1(name);
    };
    check(CAP_BPF, "CAP_BPF");
    check(CAP_NET_ADMIN, "CAP_NET_ADMIN");
    check(CAP_PERFMON, "CAP_PERFMON");
    return missing;
}

// In the first pid namespace the kernel's own ids are this process's view,
// and they name the processes of nested namespaces too. In another, the
// programs ask the kernel for the ids of this one, where it lets them: the
// tracing programs (the movers) since Linux 5.7, those that see sockets
// created since 6.10; elsewhere they record no process.
bool callerPidView(PidView *view, QString *error)
{
    struct stat status
    {
    };
    if (::stat("/proc/self/ns/pid", &status) != 0) {
        *error = QStringLiteral("cannot tell the pid namespace (/proc/self/ns/pid): ") +
                 qt_error_string(errno);
        return false;
    }
    *view = {};
    if (status.st_ino == kFirstPidNamespace)
        return true;
    view->device = quint64(major(status.st_dev)) << 20 | minor(status.st_dev);
    view->inode = status.st_ino;
    view->movers = VX_PIDS_NAMESPACE;
    view->creators = libbpf_probe_bpf_helper(BPF_PROG_TYPE_CGROUP_SOCK,
                                             BPF_FUNC_get_ns_current_pid_tgid, nullptr) == 1
                         ? VX_PIDS_NAMESPACE
                         : VX_PIDS_NONE;
    return true;
}

KernelTypes::KernelTypes() : vmlinux_(btf__load_vmlinux_btf()) {}

KernelTypes::~KernelTypes()
{
    btf__free(vmlinux_);
}

int KernelTypes::tracepointArguments(const char *name) const
{
    if (!vmlinux_)
        return 0;
    const QByteArray typeName = QByteArrayLiteral("btf_trace_") + name;
    const int id = btf__find_by_name_kind(vmlinux_, typeName.constData(), BTF_KIND_TYPEDEF);
    if (id <= 0)
        return 0;
    // a typedef of a pointer to the prototype
    const btf_type *pointer = btf__type_by_id(vmlinux_, btf__resolve_type(vmlinux_, id));
    const btf_type *prototype =
        pointer && btf_is_ptr(pointer) ? btf__type_by_id(vmlinux_, pointer->type) : nullptr;
    return prototype && btf_is_func_proto(prototype) ? btf_vlen(prototype) : 0;
}

bool KernelTypes::hasFunction(const char *name) const
{
    return vmlinux_ && btf__find_by_name_kind(vmlinux_, name, BTF_KIND_FUNC) > 0;
}

} // namespace vexmora::meter
