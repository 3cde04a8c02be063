#pragma once

#include "program_loader.h"

#include <QStringList>

struct btf;

namespace vexmora::meter {

// What the running kernel and this process offer the kernel programs,
// asked before they load.

// Those of the capabilities the programs need that the calling thread lacks.
// CAP_SYS_ADMIN would stand in for all three, but is not asked for.
QStringList missingCapabilities();

// How the programs are to record processes for the caller's pid namespace.
bool callerPidView(PidView *view, QString *error);

// The kernel's type information, parsed once for every question the load
// asks of it: each parse of its 5 MiB is a good part of the meter's start.
class KernelTypes
{
public:
    KernelTypes();
    ~KernelTypes();
    KernelTypes(const KernelTypes &) = delete;
    KernelTypes &operator=(const KernelTypes &) = delete;

    // How many arguments the kernel passes a tp_btf program of tracepoint
    // `name` (its context first), 0 without the tracepoint.
    int tracepointArguments(const char *name) const;
    bool hasTracepoint(const char *name) const { return tracepointArguments(name) > 0; }
    bool hasFunction(const char *name) const;

private:
    btf *vmlinux_;
};

} // namespace vexmora::meter
