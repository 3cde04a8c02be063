// The process that loads the programs: what it needs, and that nothing of
// them outlives it, however it ends.
#include "cgroup_mount.h"
#include "kernel_fixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <bpf/bpf.h>
#include <csignal>
#include <unistd.h>

using namespace kerneltest;

namespace {

struct BpfObjects
{
    std::set<quint32> programs, maps, links;
    bool empty() const { return programs.empty() && maps.empty() && links.empty(); }
};

// The programs, maps and links that a process holds descriptors of.
BpfObjects heldBy(qint64 pid)
{
    BpfObjects held;
    const QString fdinfo = QStringLiteral("/proc/%1/fdinfo").arg(pid);
    for (const QString &fd : QDir(fdinfo).entryList(QDir::Files)) {
        QFile info(fdinfo + QLatin1Char('/') + fd);
        if (!info.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : info.readAll().split('\n')) {
            const QList<QByteArray> field = line.split('\t');
            const quint32 id = field.value(1).toUInt();
            if (field[0] == "prog_id:")
                held.programs.insert(id);
            else if (field[0] == "map_id:")
                held.maps.insert(id);
            else if (field[0] == "link_id:")
                held.links.insert(id);
        }
    }
    return held;
}

// Those of `objects` that the kernel still has.
BpfObjects remaining(const BpfObjects &objects)
{
    BpfObjects left;
    const auto check = [](const std::set<quint32> &ids, int (*open)(__u32),
                          std::set<quint32> &alive) {
        for (quint32 id : ids) {
            const int fd = open(id);
            if (fd >= 0 || errno != ENOENT)
                alive.insert(id);
            if (fd >= 0)
                ::close(fd);
        }
    };
    check(objects.programs, bpf_prog_get_fd_by_id, left.programs);
    check(objects.maps, bpf_map_get_fd_by_id, left.maps);
    check(objects.links, bpf_link_get_fd_by_id, left.links);
    return left;
}

// Starts the program that loads the counters and holds them, under
// `wrapper` if given; true once it said they are attached.
bool startHolder(QProcess &holder, QStringList wrapper = {})
{
    wrapper << QStringLiteral(KERNEL_COUNTERS_HOLDER);
    holder.start(wrapper.takeFirst(), wrapper);
    if (!holder.waitForStarted())
        return false;
    while (holder.state() == QProcess::Running && !holder.canReadLine())
        holder.waitForReadyRead(10000);
    return holder.readLine().trimmed() == "ready";
}

// setpriv: an unprivileged user with only the given capabilities.
QStringList onlyCapabilities(const QString &capabilities)
{
    const QString set = QStringLiteral("-all,") + capabilities;
    return {QStringLiteral("setpriv"),
            QStringLiteral("--reuid=65534"),
            QStringLiteral("--regid=65534"),
            QStringLiteral("--clear-groups"),
            QStringLiteral("--inh-caps=") + set,
            QStringLiteral("--ambient-caps=") + set,
            QStringLiteral("--bounding-set=") + set};
}

TEST(KernelProcess, ThreeCapabilitiesAreEnoughAndAMissingOneIsNamed)
{
    if (::geteuid() != 0)
        KERNEL_TEST_LACKS("BPF needs root");
    QProcess enough;
    const bool loaded =
        startHolder(enough, onlyCapabilities(QStringLiteral("+bpf,+net_admin,+perfmon")));
    const QByteArray why = enough.readAllStandardError();
    enough.kill();
    enough.waitForFinished();
    EXPECT_TRUE(loaded) << why.toStdString();

    QProcess lacking;
    EXPECT_FALSE(startHolder(lacking, onlyCapabilities(QStringLiteral("+bpf,+net_admin"))));
    lacking.waitForFinished();
    EXPECT_EQ(lacking.exitCode(), 1);
    EXPECT_TRUE(lacking.readAllStandardError().contains("missing CAP_PERFMON"));
}

TEST(KernelProcess, AKilledProcessLeavesNoProgramMapOrLink)
{
    if (::geteuid() != 0)
        KERNEL_TEST_LACKS("BPF needs root");
    QProcess holder;
    if (!startHolder(holder)) {
        const QByteArray why = holder.readAllStandardError();
        holder.kill();
        holder.waitForFinished();
        KERNEL_TEST_LACKS("the kernel programs did not load: " + why.toStdString());
    }
    const BpfObjects held = heldBy(holder.processId());
    EXPECT_GE(held.programs.size(), 7u); // five cgroup programs, two iterators
    EXPECT_GE(held.maps.size(), 3u);     // sockets, owners, ring buffer
    EXPECT_GE(held.links.size(), 5u);
    ASSERT_EQ(remaining(held).programs, held.programs);

    ::kill(pid_t(holder.processId()), SIGKILL);
    holder.waitForFinished();
    QElapsedTimer clock;
    clock.start();
    BpfObjects left = remaining(held);
    while (!left.empty() && clock.elapsed() < 500) {
        QThread::msleep(10);
        left = remaining(held);
    }
    EXPECT_TRUE(left.programs.empty()) << left.programs.size() << " programs remain";
    EXPECT_TRUE(left.maps.empty()) << left.maps.size() << " maps remain";
    EXPECT_TRUE(left.links.empty()) << left.links.size() << " links remain";
}

// What a process executed is kept when it executes, and outlives it: an
// interpreter's script names a program that ended before anyone looked.
using KernelExecutions = KernelCountersTest;

TEST_F(KernelExecutions, WhatAProcessExecutedIsKeptAfterItEnds)
{
    openCounters();
    QFile mountinfo(QStringLiteral("/proc/self/mountinfo"));
    ASSERT_TRUE(mountinfo.open(QIODevice::ReadOnly));
    const QString root = vexmora::meter::cgroupV2MountPoint(mountinfo.readAll());
    ASSERT_FALSE(root.isEmpty());
    QTemporaryDir dir;
    const QString script = dir.filePath(QStringLiteral("short_lived.sh"));
    QFile file(script);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("exit 0\n");
    file.close();
    // Where it ran: a container's scope two levels down is named; one deeper
    // than the levels kept is not known at all, not known in part.
    const QString top = QStringLiteral("/vexmora-test-%1.slice").arg(::getpid());
    const QString scope = top + QStringLiteral("/docker-1.scope");
    const QString deep = top + QStringLiteral("/a/b/c/docker-2.scope");
    const QString cgroups[] = {scope, deep};
    const QString expected[] = {scope, QString()};
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(QDir().mkpath(root + cgroups[i]));
        QProcess shell;
        shell.start(QStringLiteral("/bin/sh"),
                    {QStringLiteral("-c"),
                     QStringLiteral("echo $$ >%1/cgroup.procs && exec \"$0\" \"$@\"")
                         .arg(root + cgroups[i]),
                     QStringLiteral("/bin/sh"), script, QStringLiteral("an argument")});
        ASSERT_TRUE(shell.waitForStarted(10000));
        const qint64 pid = shell.processId();
        ASSERT_TRUE(shell.waitForFinished(10000));
        QString executable, cgroup;
        QStringList argv;
        ASSERT_TRUE(counters_.recordedExecution(quint32(pid), &executable, &argv, &cgroup));
        EXPECT_EQ(executable, QStringLiteral("/bin/sh"));
        EXPECT_EQ(argv,
                  (QStringList{QStringLiteral("/bin/sh"), script, QStringLiteral("an argument")}));
        EXPECT_EQ(cgroup, expected[i]);
    }
    for (const char *path :
         {"/a/b/c/docker-2.scope", "/a/b/c", "/a/b", "/a", "/docker-1.scope", ""})
        QDir().rmdir(root + top + QLatin1String(path));
    QString executable;
    QStringList argv;
    EXPECT_FALSE(counters_.recordedExecution(0, &executable, &argv));
}

} // namespace
