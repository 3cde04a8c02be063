#pragma once

#include <QtGlobal>

namespace bench {

// Resident memory of a process in KiB, from /proc; -1 where unreadable.
struct Resident
{
    qint64 total = -1;        // VmRSS
    qint64 anonymous = -1;    // RssAnon: heap, stacks, the process's own data
    qint64 fileBacked = -1;   // RssFile: pages of the mapped executable and libraries
    qint64 proportional = -1; // Pss: shared pages divided among their users
};
Resident residentKiB(qint64 pid);

} // namespace bench
