#pragma once

#include "container_names.h"
#include "socket_record.h"

#include <QString>
#include <QStringList>

namespace vexmora::meter {

// The application (and process) name of bytes whose owner could not be
// found: the process exited before a scan saw it, the socket belongs to a
// process this meter cannot see (another user or pid namespace), or it opened
// and closed between two samples and no listening socket tells whose it was.
// Those bytes are reported under this name, with pid 0, never dropped.
inline constexpr char kUnattributed[] = "(unattributed)";
// The application row of the bytes of applications beyond the number a UTC
// day may name (a user renaming programs in a loop would otherwise add rows
// without end).
inline constexpr char kOtherApps[] = "(other)";

// Traffic of one process since the previous sample.
struct ProcessTraffic
{
    qint64 pid = 0; // 0 for kUnattributed
    QString name;   // the process name (comm)
    // The application: the Debian package that installed the executable; for
    // an interpreter (python, perl, a shell, node, java, ...) the package that
    // installed its script, or the script's file name; else the executable's
    // file name.
    QString app;
    ByteCounts bytes;
};

// An application's bytes over some span (the UTC day's, for the status).
struct AppBytes
{
    QString app;
    ByteCounts bytes;
};

struct AttributionSources
{
    QString procRoot = QStringLiteral("/proc");
    QString dpkgInfoDir = QStringLiteral("/var/lib/dpkg/info");
    QString dpkgStatusFile =
        QStringLiteral("/var/lib/dpkg/status"); // its change makes the packages looked up again,
                                                // checked once a minute
    // Where a program is looked for by the name recorded for a process that
    // exited before it was seen, as a login shell's PATH would find it.
    QStringList programDirs = {QStringLiteral("/usr/local/sbin"), QStringLiteral("/usr/local/bin"),
                               QStringLiteral("/usr/sbin"),       QStringLiteral("/usr/bin"),
                               QStringLiteral("/sbin"),           QStringLiteral("/bin")};
    // Where the filter of dpkg's lists is kept between runs; none when empty.
    QString packageFilterFile;
    ContainerStateRoots containerState;
};

// What the attribution could not see or read since it started. None of it
// stops the attribution; each is a count of something lost or skipped.
struct AttributionHealth
{
    // Times the final counts of closed sockets were lost: overflows of the
    // socket table's destroy socket (ENOBUFS, each dropped one message or
    // more), or records the kernel programs could not queue.
    quint64 lostFinalCounts = 0;
    quint64 uncountedPackets = 0;  // packets the kernel programs had no room to count
    quint64 vanishedSockets = 0;   // sockets whose final counts never came
    quint64 staleEntries = 0;      // kernel entries of sockets gone unnoticed, finished by a sweep
    quint64 malformedMessages = 0; // netlink messages or attributes cut short
    quint64 socketsWithoutCounters = 0; // records whose tcp_info lacked the byte counters
    quint64 failedReads = 0;            // samples whose counters could not be read
    QString lastReadError;
    quint64 procScans = 0;            // scans of /proc/PID/fd
    quint64 processesGoneMidScan = 0; // exited between the listing of /proc and their scan
    int trackedSockets = 0;
    int packageLists = 0; // dpkg's file lists, as the last search found them
    int unreadablePackageLists = 0;
    int packageSearches = 0; // paths looked for in those lists
};

} // namespace vexmora::meter
