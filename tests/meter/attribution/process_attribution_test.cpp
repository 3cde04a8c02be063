// Owners and names: the core against a fake /proc and a fake dpkg database.
#include "attribution_core.h"
#include "socket_records.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <unistd.h>

using namespace vexmora::meter;
using test::tcp;

namespace {

class FakeHost
{
public:
    FakeHost() { addPackage("curl:amd64", "/.\n/usr/bin\n/usr/bin/curl\n"); }
    AttributionSources sources() const
    {
        return {path("proc"), path("dpkg/info"), path("dpkg/status")};
    }
    // The status file grows with each package, as dpkg's does.
    void addPackage(const char *name, const QByteArray &list)
    {
        write(QStringLiteral("dpkg/info/%1.list").arg(QLatin1String(name)), list);
        QFile status(path("dpkg/status"));
        status.open(QIODevice::Append);
        status.write(QByteArray("Package: ") + name + "\n\n");
    }
    void addProcess(qint64 pid, const char *comm, const char *exe, const QByteArray &cmdline,
                    const std::vector<quint32> &sockets)
    {
        const QString dir = QStringLiteral("proc/%1/").arg(pid);
        write(dir + QStringLiteral("comm"), QByteArray(comm) + '\n');
        write(dir + QStringLiteral("cmdline"), cmdline);
        link(exe, dir + QStringLiteral("exe"));
        link("/", dir + QStringLiteral("cwd"));
        QDir(dir_.path()).mkpath(dir + QStringLiteral("fd"));
        link("/dev/null", dir + QStringLiteral("fd/0"));
        for (quint32 inode : sockets)
            link("socket:[" + QByteArray::number(inode) + ']',
                 dir + QStringLiteral("fd/%1").arg(inode));
    }
    void remove(const QString &relativePath)
    {
        QDir(path(qPrintable(relativePath))).removeRecursively();
    }

private:
    QString path(const char *relative) const
    {
        return dir_.path() + QLatin1Char('/') + QLatin1String(relative);
    }
    void write(const QString &relative, const QByteArray &content)
    {
        const QString file = dir_.path() + QLatin1Char('/') + relative;
        QDir().mkpath(QFileInfo(file).path());
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(content);
    }
    void link(const QByteArray &target, const QString &relative)
    {
        const QByteArray at = QFile::encodeName(dir_.path() + QLatin1Char('/') + relative);
        ASSERT_EQ(::symlink(target.constData(), at.constData()), 0);
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
    const char list[] = "/usr/bin/wget\nusr/bin/relative\n/bin/\0nul\n";
    host.addPackage("wget:amd64", QByteArray(list, sizeof list - 1));
    EXPECT_TRUE(packages.refresh());
    EXPECT_EQ(packages.packageOf(QStringLiteral("/usr/bin/wget")), QLatin1String("wget"));
    EXPECT_EQ(packages.stats().rejectedLines, 2);
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
    core_.start(batch({tcp(1, 7, {}), tcp(2, 8, {}), tcp(3, 9, {})}));
    core_.applyDump(batch({tcp(1, 7, {10, 1}), tcp(2, 8, {20, 2}), tcp(3, 9, {5, 5})}));
    EXPECT_EQ(rows(core_.collect()),
              (std::vector<Row>{{100, "curl", "curl", 30, 3}, {200, "python3", "sync.py", 5, 5}}));
    EXPECT_EQ(core_.health().procScans, 1u) << "one scan, for the first dump's sockets";

    host_.remove(QStringLiteral("proc/100")); // exited: its sockets closed, their last bytes come
    core_.applyDump(batch({tcp(1, 0, {15, 1}), tcp(3, 9, {6, 5})}));
    core_.applyDestroyed(batch({tcp(1, 0, {16, 1}), tcp(2, 0, {20, 4})}));
    EXPECT_EQ(rows(core_.collect()),
              (std::vector<Row>{{100, "curl", "curl", 6, 2}, {200, "python3", "sync.py", 1, 0}}));
    EXPECT_EQ(core_.health().procScans, 1u);
}

TEST_F(Core, OwnerThatChangedIsFoundAgainAndSocketsOfNoVisibleProcessAreUnattributed)
{
    host_.addProcess(100, "worker", "/usr/bin/curl", "", {7});
    host_.addProcess(150, "gone", "/usr/bin/curl", "", {});
    host_.remove(QStringLiteral("proc/150/fd")); // listed, then exited before its scan
    core_.start(batch({tcp(1, 7, {}), tcp(2, 99, {})}));
    EXPECT_EQ(core_.health().processesGoneMidScan, 1u);

    host_.remove(QStringLiteral("proc/100")); // the socket was passed on to a child
    host_.addProcess(300, "child", "/opt/x/child", "child", {7});
    core_.applyDump(batch({tcp(1, 7, {40, 4}), tcp(2, 99, {50, 5})}));
    EXPECT_EQ(rows(core_.collect()), (std::vector<Row>{{0, kUnattributed, kUnattributed, 50, 5},
                                                       {300, "child", "child", 40, 4}}));
}

} // namespace
