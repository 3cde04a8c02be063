// Owners and names: the core against a fake /proc and a fake dpkg database.
#include "attribution_core.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace vexmora::meter;

namespace {

class FakeHost
{
public:
    FakeHost()
    {
        QDir(root()).mkpath(QStringLiteral("proc"));
        QDir(root()).mkpath(QStringLiteral("dpkg/info"));
        addPackage("curl:amd64", "/.\n/usr/bin\n/usr/bin/curl\n");
    }
    QString root() const { return dir_.path(); }
    AttributionSources sources() const
    {
        return {root() + QStringLiteral("/proc"), root() + QStringLiteral("/dpkg/info"),
                root() + QStringLiteral("/dpkg/status")};
    }
    // Each package added makes the status file grow, as dpkg's does.
    void addPackage(const char *list, const QByteArray &paths)
    {
        write(QStringLiteral("dpkg/info/%1.list").arg(QLatin1String(list)), paths);
        QFile status(root() + QStringLiteral("/dpkg/status"));
        status.open(QIODevice::Append);
        status.write(QByteArray("Package: ") + list + "\n\n");
    }
    void addProcess(qint64 pid, const char *comm, const char *exe, const QByteArray &cmdline,
                    const std::vector<quint32> &sockets)
    {
        const QString dir = QStringLiteral("proc/%1").arg(pid);
        QDir(root()).mkpath(dir + QStringLiteral("/fd"));
        write(dir + QStringLiteral("/comm"), QByteArray(comm) + '\n');
        write(dir + QStringLiteral("/cmdline"), cmdline);
        link(exe, dir + QStringLiteral("/exe"));
        link("/", dir + QStringLiteral("/cwd"));
        link("/dev/null", dir + QStringLiteral("/fd/0"));
        for (quint32 inode : sockets)
            link(QByteArray("socket:[") + QByteArray::number(inode) + ']',
                 dir + QStringLiteral("/fd/%1").arg(inode));
    }
    void removeProcess(qint64 pid)
    {
        QDir(root() + QStringLiteral("/proc/%1").arg(pid)).removeRecursively();
    }

private:
    void write(const QString &path, const QByteArray &content)
    {
        QFile file(root() + QLatin1Char('/') + path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    void link(const QByteArray &target, const QString &path)
    {
        const QByteArray link = QFile::encodeName(root() + QLatin1Char('/') + path);
        ASSERT_EQ(::symlink(target.constData(), link.constData()), 0);
    }
    QTemporaryDir dir_;
};

TEST(ApplicationName, FromThePackageOfTheExecutableOrScriptElseTheirFileName)
{
    FakeHost host;
    host.addPackage("netcat-openbsd", "/bin\n/bin/nc.openbsd\n");
    host.addPackage("unattended-upgrades", "/usr/bin/unattended-upgrade\n");
    host.addPackage("dash", "/bin/dash\n");
    PackageIndex packages(host.sources().dpkgInfoDir, host.sources().dpkgStatusFile);
    packages.refresh();
    const struct
    {
        const char *executable;
        std::vector<const char *> argv;
        const char *app;
    } cases[] = {
        {"/usr/bin/curl", {"curl", "-s", "x"}, "curl"},
        {"/usr/bin/nc.openbsd", {"nc"}, "netcat-openbsd"}, // the list names /bin
        {"/usr/bin/python3.11",
         {"python3", "-u", "/usr/bin/unattended-upgrade"},
         "unattended-upgrades"},
        {"/usr/bin/python3.11", {"python3", "-X", "dev", "tools/peer.py", "-v"}, "peer.py"},
        {"/usr/bin/python3.11", {"python3", "-m", "http.server"}, "http.server"},
        {"/usr/bin/dash", {"sh", "-c", "exec curl x"}, "dash"},
        {"/usr/lib/jvm/java-17/bin/java",
         {"java", "-cp", "a.jar", "org.example.Main"},
         "org.example.Main"},
        {"/opt/agent/bin/agent", {"agent", "--run"}, "agent"},
        {"", {}, "kworker/0:1"},
    };
    for (const auto &c : cases) {
        QStringList argv;
        for (const char *argument : c.argv)
            argv.append(QLatin1String(argument));
        const ProgramFacts facts =
            programFacts(QLatin1String(c.executable), argv, QStringLiteral("/srv"));
        EXPECT_EQ(applicationName(facts, QStringLiteral("kworker/0:1"), packages).toStdString(),
                  c.app)
            << c.executable << " " << argv.join(QLatin1Char(' ')).toStdString();
    }
}

TEST(PackageIndex, ReloadsWhenTheStatusFileChangesAndCountsLinesThatDoNotParse)
{
    FakeHost host;
    PackageIndex packages(host.sources().dpkgInfoDir, host.sources().dpkgStatusFile);
    EXPECT_TRUE(packages.refresh());
    EXPECT_FALSE(packages.refresh());
    EXPECT_EQ(packages.packageOf(QStringLiteral("/usr/bin/wget")), QString());
    const char list[] = "/usr/bin/wget\nusr/bin/relative\n/bin/\0nul\n";
    host.addPackage("wget:amd64", QByteArray(list, sizeof list - 1));
    EXPECT_TRUE(packages.refresh());
    EXPECT_EQ(packages.packageOf(QStringLiteral("/usr/bin/wget")), QLatin1String("wget"));
    EXPECT_EQ(packages.stats().rejectedLines, 2);
    EXPECT_EQ(packages.stats().lists, 2);
}

SocketRecord tcp(quint64 cookie, quint32 inode, quint64 recv, quint64 sent)
{
    SocketRecord record;
    record.cookie = cookie;
    record.inode = inode;
    record.state = 1; // TCP_ESTABLISHED
    const quint8 remote[4] = {203, 0, 113, 9};
    record.remoteAddress = IpAddress::fromRaw(AF_INET, remote);
    record.hasCounters = true;
    record.counters = {recv, sent};
    return record;
}

DiagBatch batch(std::vector<SocketRecord> sockets)
{
    DiagBatch batch;
    batch.sockets = std::move(sockets);
    return batch;
}

using Row = std::tuple<qint64, std::string, std::string, quint64, quint64>;
std::vector<Row> rows(const std::vector<ProcessTraffic> &traffic)
{
    std::vector<Row> rows;
    for (const ProcessTraffic &t : traffic)
        rows.emplace_back(t.pid, t.name.toStdString(), t.app.toStdString(), t.bytes.recv,
                          t.bytes.sent);
    std::sort(rows.begin(), rows.end());
    return rows;
}

class Core : public testing::Test
{
protected:
    FakeHost host_;
    AttributionCore core_{host_.sources(), [] { return std::vector<IpAddress>{}; }};
};

TEST_F(Core, OwnersAreScannedForNewSocketsOnlyAndNamedAfterTheyExit)
{
    host_.addProcess(100, "curl", "/usr/bin/curl", "curl\0x", {7, 8});
    host_.addProcess(200, "python3", "/usr/bin/python3.11", QByteArray("python3\0/srv/sync.py", 20),
                     {9});
    core_.start(batch({tcp(1, 7, 0, 0), tcp(2, 8, 0, 0), tcp(3, 9, 0, 0)}));
    core_.applyDump(batch({tcp(1, 7, 10, 1), tcp(2, 8, 20, 2), tcp(3, 9, 5, 5)}));
    EXPECT_EQ(rows(core_.collect()),
              (std::vector<Row>{{100, "curl", "curl", 30, 3}, {200, "python3", "sync.py", 5, 5}}));
    EXPECT_EQ(core_.health().procScans, 1u) << "one scan, for the first dump's sockets";

    host_.removeProcess(100); // exited: its sockets closed, their last bytes still come
    core_.applyDump(batch({tcp(1, 0, 15, 1), tcp(3, 9, 6, 5)}));
    core_.applyDestroyed(batch({tcp(1, 0, 16, 1), tcp(2, 0, 20, 4)}));
    EXPECT_EQ(rows(core_.collect()),
              (std::vector<Row>{{100, "curl", "curl", 6, 2}, {200, "python3", "sync.py", 1, 0}}));
    EXPECT_EQ(core_.health().procScans, 1u);
}

TEST_F(Core, OwnerThatChangedIsFoundAgainAndSocketsOfNoVisibleProcessAreUnattributed)
{
    host_.addProcess(100, "worker", "/usr/bin/curl", "", {7});
    host_.addProcess(150, "gone", "/usr/bin/curl", "", {});
    QDir(host_.root() + QStringLiteral("/proc/150/fd")).removeRecursively();
    core_.start(batch({tcp(1, 7, 0, 0), tcp(2, 99, 0, 0)}));
    EXPECT_EQ(core_.health().processesGoneMidScan, 1u);

    host_.removeProcess(100); // the socket was passed on to its child
    host_.addProcess(300, "child", "/opt/x/child", "child", {7});
    core_.applyDump(batch({tcp(1, 7, 40, 4), tcp(2, 99, 50, 5)}));
    EXPECT_EQ(rows(core_.collect()), (std::vector<Row>{{0, kUnattributed, kUnattributed, 50, 5},
                                                       {300, "child", "child", 40, 4}}));
}

} // namespace
