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
    AttributionSources sources() const { return {path("proc"), path("dpkg/info"), statusFile()}; }
    // The status file grows with each package, as dpkg's does.
    void addPackage(const char *name, const QByteArray &list)
    {
        write(QStringLiteral("dpkg/info/%1.list").arg(QLatin1String(name)), list);
        QFile status(statusFile());
        ASSERT_TRUE(status.open(QIODevice::Append));
        status.write(QByteArray("Package: ") + name + "\n\n");
    }
    void addProcess(qint64 pid, const char *exe, const QByteArray &cmdline,
                    const std::vector<quint32> &sockets)
    {
        const QString dir = QStringLiteral("proc/%1/").arg(pid);
        write(dir + QStringLiteral("comm"), QFileInfo(QLatin1String(exe)).fileName().toUtf8());
        write(dir + QStringLiteral("cmdline"), cmdline);
        link(exe, dir + QStringLiteral("exe"));
        link("/", dir + QStringLiteral("cwd"));
        for (quint32 inode : sockets)
            link(QByteArray("socket:[" + QByteArray::number(inode) + ']').constData(),
                 dir + QStringLiteral("fd/%1").arg(inode));
    }
    void remove(const char *relative) { QDir(path(relative)).removeRecursively(); }

private:
    QString path(const char *relative) const { return dir_.filePath(QLatin1String(relative)); }
    QString statusFile() const { return path("dpkg/status"); }
    void write(const QString &relative, const QByteArray &content)
    {
        QDir(dir_.path()).mkpath(QFileInfo(relative).path());
        QFile out(dir_.filePath(relative));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(content);
    }
    void link(const char *target, const QString &relative)
    {
        QDir(dir_.path()).mkpath(QFileInfo(relative).path());
        ASSERT_EQ(::symlink(target, QFile::encodeName(dir_.filePath(relative)).constData()), 0);
    }
    QTemporaryDir dir_;
};

TEST(ApplicationName, FromThePackageOfTheExecutableOrScriptElseTheirFileName)
{
    FakeHost host;
    host.addPackage("netcat-openbsd", "/bin\n/bin/nc.openbsd\n");
    host.addPackage("dash", "/bin/dash\n");
    PackageIndex packages(host.sources().dpkgInfoDir, host.sources().dpkgStatusFile);
    ASSERT_TRUE(packages.refresh());
    ASSERT_FALSE(packages.refresh()) << "loaded again while the status file stayed";
    host.addPackage("unattended-upgrades", "/usr/bin/unattended-upgrade\n"); // installed later
    ASSERT_TRUE(packages.refresh());
    const struct
    {
        const char *executable;
        const char *argv;
        const char *app;
    } cases[] = {
        {"/usr/bin/curl", "curl -s x", "curl"},
        {"/usr/bin/nc.openbsd", "nc", "netcat-openbsd"}, // the list names /bin
        {"/usr/bin/python3.11", "python3 -u /usr/bin/unattended-upgrade", "unattended-upgrades"},
        {"/usr/bin/python3.11", "python3 -X dev tools/peer.py -v", "peer.py"},
        {"/usr/bin/python3.11", "python3 -m http.server", "http.server"},
        {"/usr/bin/dash", "sh -c exec", "dash"},
        {"/usr/lib/jvm/java-17/bin/java", "java -cp a.jar org.example.Main", "org.example.Main"},
        {"/opt/agent/bin/agent", "agent --run", "agent"},
        {"", "", "kworker/0:1"},
    };
    for (const auto &c : cases) {
        const QStringList argv =
            QString::fromLatin1(c.argv).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const ProgramFacts facts =
            programFacts(QLatin1String(c.executable), argv, QStringLiteral("/srv"));
        EXPECT_EQ(applicationName(facts, QStringLiteral("kworker/0:1"), packages).toStdString(),
                  c.app)
            << c.argv;
    }
}

using Row = std::tuple<qint64, std::string, std::string, quint64, quint64>;

class Core : public testing::Test
{
protected:
    std::vector<Row> collect()
    {
        std::vector<Row> rows;
        for (const ProcessTraffic &t : core_.collect())
            rows.emplace_back(t.pid, t.name.toStdString(), t.app.toStdString(), t.bytes.recv,
                              t.bytes.sent);
        std::sort(rows.begin(), rows.end());
        return rows;
    }

    FakeHost host_;
    AttributionCore core_{host_.sources(), [] { return std::vector<IpAddress>{}; }};
};

TEST_F(Core, OwnersAreScannedForNewSocketsOnlyAndKeepTheirSocketsToTheEnd)
{
    host_.addProcess(100, "/usr/bin/curl", "curl\0x", {7, 8});
    host_.addProcess(200, "/usr/bin/python3.11", QByteArray("python3\0/srv/sync.py", 20), {9});
    core_.start({{tcp(1, 7, {100, 10}), tcp(2, 8, {})}}); // the baseline
    core_.applyDump({{tcp(1, 7, {110, 11}), tcp(2, 8, {20, 2}), tcp(3, 9, {5, 5})}});
    EXPECT_EQ(collect(), (std::vector<Row>{{100, "curl", "curl", 30, 3},
                                           {200, "python3.11", "sync.py", 5, 5}}));
    EXPECT_EQ(core_.health().procScans, 2u) << "one scan per dump with new sockets";

    // curl exited: its sockets were orphaned and destroyed, their last bytes come.
    host_.remove("proc/100");
    core_.applyDump({{tcp(1, 0, {115, 11}), tcp(3, 9, {6, 5})}});
    core_.applyDestroyed({{tcp(1, 0, {116, 11}), tcp(2, 0, {20, 4})}});
    EXPECT_EQ(collect(), (std::vector<Row>{{100, "curl", "curl", 6, 2},
                                           {200, "python3.11", "sync.py", 1, 0}}));
    EXPECT_EQ(core_.health().procScans, 2u);
    core_.applyDump({{tcp(3, 9, {6, 5})}});
    EXPECT_EQ(core_.health().trackedSockets, 1) << "the closed ones are forgotten";
    EXPECT_EQ(core_.health().vanishedSockets, 0u);
}

TEST_F(Core, OwnerThatChangedIsFoundAgainAndSocketsOfNoVisibleProcessAreUnattributed)
{
    host_.addProcess(100, "/usr/bin/curl", "", {7});
    host_.addProcess(150, "/usr/bin/curl", "", {});
    host_.remove("proc/150/fd"); // listed, then exited before its scan
    core_.start({{tcp(1, 7, {}), tcp(2, 99, {})}});
    EXPECT_EQ(core_.health().processesGoneMidScan, 1u);

    host_.remove("proc/100"); // the socket was passed on to a child
    host_.addProcess(300, "/opt/x/child", "child", {7});
    core_.applyDump({{tcp(1, 7, {40, 4}), tcp(2, 99, {50, 5})}});
    EXPECT_EQ(collect(), (std::vector<Row>{{0, kUnattributed, kUnattributed, 50, 5},
                                           {300, "child", "child", 40, 4}}));
}

} // namespace
