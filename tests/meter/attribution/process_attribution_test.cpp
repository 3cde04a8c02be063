// Owners and names: the attribution shared by the sources, against a fake
// /proc and a fake dpkg database.
#include "fake_host.h"
#include "name_text.h"
#include "process_attribution.h"

#include <gtest/gtest.h>

using namespace vexmora::meter;
using vexmora::test::FakeHost;

namespace {

TEST(ApplicationName, FromThePackageOfTheExecutableOrScriptElseTheirFileName)
{
    FakeHost host;
    host.addPackage("netcat-openbsd", "/bin\n/bin/nc.openbsd\n");
    host.addPackage("dash", "/bin/dash\n");
    host.addPackage("openjdk-17-jre-headless", "/usr/lib/jvm/java-17/bin/java\n");
    const QString upgrade = host.addFile("usr/bin/unattended-upgrade");
    host.addFile("srv/tools/peer.py");
    PackageIndex packages(host.sources().dpkgInfoDir, host.sources().dpkgStatusFile);
    ASSERT_TRUE(packages.refresh());
    ASSERT_FALSE(packages.refresh()) << "forgot its answers while the status file stayed";
    ASSERT_EQ(packages.packageOf(upgrade), QString());
    host.addPackage("unattended-upgrades", upgrade.toUtf8() + '\n'); // installed later
    ASSERT_TRUE(packages.refresh());
    const struct
    {
        const char *executable;
        const char *argv;
        const char *app;
    } cases[] = {
        {"/usr/bin/curl", "curl -s x", "curl"},
        {"/usr/bin/nc.openbsd", "nc", "netcat-openbsd"}, // the list names /bin
        {"/usr/bin/python3.11", "python3 -u UPGRADE", "unattended-upgrades"},
        {"/usr/bin/python3.11", "python3 -X dev tools/peer.py -v", "peer.py"},
        // What is no file names nothing: a module, a class, a missing script.
        {"/usr/bin/python3.11", "python3 -m http.server", "python3.11-minimal"},
        {"/usr/bin/python3.11", "python3 /nonexistent/(unattributed)", "python3.11-minimal"},
        {"/usr/bin/python3.11", "python3 tools", "python3.11-minimal"}, // a directory
        {"/usr/bin/dash", "sh -c exec", "dash"},
        {"/usr/lib/jvm/java-17/bin/java", "java -cp a.jar org.example.Main",
         "openjdk-17-jre-headless"},
        {"/opt/agent/bin/agent", "agent --run", "agent"},
        // An interpreter by its name alone is any program.
        {"/home/u/python3", "python3 tools/peer.py", "python3"},
        {"/home/u/(unattributed)", "x", "[unattributed]"},
        {"/home/u/\x1b[2J\x7f\xc2\x85", "x", "\xe2\x90\x9b[2J\xe2\x90\xa1\xef\xbf\xbd"},
        {"", "", "kworker/0:1"},
    };
    for (const auto &c : cases) {
        const QStringList argv = QString::fromLatin1(c.argv)
                                     .replace(QLatin1String("UPGRADE"), upgrade)
                                     .split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const ProgramFacts facts = programFacts(
            QString::fromUtf8(c.executable), argv,
            upgrade.section(QLatin1Char('/'), 0, -4) + QStringLiteral("/srv"), packages);
        EXPECT_EQ(applicationName(facts, QStringLiteral("kworker/0:1"), packages).toStdString(),
                  c.app)
            << c.argv;
    }
}

TEST(ApplicationName, NamesAreTextOfAtMost255BytesAndNoneIsTheMeters)
{
    const QString a300(300, QLatin1Char('A'));
    const QString ellipsis = QString(QChar(0x2026));
    const struct
    {
        QString raw;
        QString shown;
    } cases[] = {
        {QStringLiteral("firefox-esr"), QStringLiteral("firefox-esr")},
        {QStringLiteral("(sd-pam)"), QStringLiteral("(sd-pam)")}, // as a process name
        {QStringLiteral("\x1b[2J\n\t"), QStringLiteral("\u241b[2J\u240a\u2409")},
        {QStringLiteral("a\u0085\u202eb\u2066"), QStringLiteral("a\ufffd\ufffdb\ufffd")},
        {QString(QChar(0xD800)) + QLatin1Char('x'), QStringLiteral("\ufffdx")},
        {a300, a300.left(252) + ellipsis},
        {QString(254, QLatin1Char('A')) + QStringLiteral("\u00e9"), // 256 bytes
         QString(252, QLatin1Char('A')) + ellipsis},
        {QString(86, QChar(0x20AC)), QString(84, QChar(0x20AC)) + ellipsis}, // 3 bytes each
        {QString(84, QChar(0x20AC)) + QStringLiteral("abc"),                 // 255 bytes: as it is
         QString(84, QChar(0x20AC)) + QStringLiteral("abc")},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(displayableName(c.raw), c.shown) << c.raw.toStdString();
        EXPECT_LE(displayableName(c.raw).toUtf8().size(), kMaxNameBytes);
    }
    EXPECT_EQ(displayableAppName(QStringLiteral("(unattributed)")),
              QStringLiteral("[unattributed]"));
    EXPECT_EQ(displayableAppName(QStringLiteral("(other)")), QStringLiteral("[other]"));
    EXPECT_EQ(displayableAppName(QStringLiteral("(x")), QStringLiteral("(x"));
}

using Row = std::tuple<qint64, std::string, std::string, quint64, quint64>;

// A source that reports what the test gives it.
class ScriptedSource : public SocketCountSource
{
public:
    QString name() const override { return QStringLiteral("scripted"); }
    bool open(QString *) override { return true; }
    int notificationFd() const override { return -1; }
    void readNotifications() override {}
    SourceSample sample() override { return std::exchange(next, {}); }
    void ownersInUse(QSet<quint32> &inodes, QSet<qint64> &pids) const override
    {
        inodes += inUseInodes;
        pids += inUsePids;
    }
    void addHealth(AttributionHealth &) const override {}
    bool recordedProgram(qint64 pid, RecordedProgram *program) const override
    {
        const auto it = programs.find(pid);
        if (it == programs.end())
            return false;
        *program = *it;
        return true;
    }

    SourceSample next;
    QHash<qint64, RecordedProgram> programs; // what each pid executed
    QSet<quint32> inUseInodes;
    QSet<qint64> inUsePids;
};

SocketOwner byInode(quint32 inode)
{
    return {0, inode, {}};
}

SocketOwner byPid(qint64 pid, const char *comm = "")
{
    return {pid, 0, comm};
}

class Attribution : public testing::Test
{
protected:
    void SetUp() override { attribution_.start(); }
    // One sample of the source: owners first seen, then bytes (recv, sent).
    std::vector<Row> sample(std::vector<SocketOwner> newOwners,
                            std::vector<std::pair<SocketOwner, bool>> held = {},
                            ByteCounts bytes = {10, 1})
    {
        source_.next.newOwners = std::move(newOwners);
        for (const auto &[owner, stillHeld] : held)
            source_.next.bytes.push_back({owner, stillHeld, bytes});
        std::vector<Row> rows;
        for (const ProcessTraffic &t : attribution_.attribute(source_.sample(), source_))
            rows.emplace_back(t.pid, t.name.toStdString(), t.app.toStdString(), t.bytes.recv,
                              t.bytes.sent);
        std::sort(rows.begin(), rows.end());
        return rows;
    }
    quint64 scans() const
    {
        AttributionHealth health;
        attribution_.addHealth(health);
        return health.procScans;
    }

    FakeHost host_;
    ScriptedSource source_;
    ProcessAttribution attribution_{host_.sources()};
};

// Who gets a socket's bytes, whichever source reports them.
TEST_F(Attribution, OwnersByRecordedPidOrHeldInodeAndNobodyElse)
{
    host_.addProcess(100, "/usr/bin/curl", "curl\0x", {7});
    host_.addProcess(200, "/usr/bin/python3.11",
                     QByteArray("python3\0", 8) + host_.addFile("srv/sync.py").toUtf8(), {});
    source_.programs.insert(303, {QStringLiteral("/usr/bin/python3.11"),
                                  {QStringLiteral("python3"), host_.addFile("srv/shortconns.py")},
                                  {}});
    source_.programs.insert(304,
                            {QStringLiteral("/usr/bin/getent"), {QStringLiteral("getent")}, {}});
    source_.programs.insert(305, {QStringLiteral("/usr/bin/python3.11"),
                                  {QStringLiteral("python3"), QStringLiteral("./udpblast.py")},
                                  {}});
    const QString id(64, QLatin1Char('c'));
    host_.addFile(qPrintable(QStringLiteral("docker/containers/%1/config.v2.json").arg(id)),
                  QStringLiteral(R"({"ID": "%1", "Name": "/web1"})").arg(id).toUtf8());
    source_.programs.insert(306, {QStringLiteral("/usr/bin/getent"),
                                  {QStringLiteral("getent")},
                                  QStringLiteral("/system.slice/docker-%1.scope").arg(id)});
    sample({byInode(7), byPid(200), byPid(300, "gone-early"), byPid(301, "getent"),
            byPid(302, "python3"), byPid(303, "python3"), byPid(304, "renamed"),
            byPid(305, "python3"), byPid(306, "getent"), byInode(99)});
    EXPECT_EQ(scans(), 1u) << "one scan for the new inodes";
    const struct
    {
        const char *what;
        SocketOwner owner;
        qint64 pid;
        const char *name, *app;
    } cases[] = {
        {"a client's socket, held in /proc/PID/fd", byInode(7), 100, "curl", "curl"},
        {"a socket whose creator the kernel recorded", byPid(200), 200, "python3.11", "sync.py"},
        {"a recorded creator gone before it was seen", byPid(300, "gone-early"), 300, "gone-early",
         "gone-early"},
        {"... named like a program installed by a package", byPid(301, "getent"), 301, "getent",
         "libc-bin"},
        {"... named like an interpreter, whose script is unknown", byPid(302, "python3"), 302,
         "python3", "python3"},
        {"... whose script the source saw it execute", byPid(303, "python3"), 303, "python3",
         "shortconns.py"},
        {"... whose executable the source saw it execute, under another name",
         byPid(304, "renamed"), 304, "renamed", "getent"},
        {"... a script by a path relative to where it ran, which cannot be checked",
         byPid(305, "python3"), 305, "python3", "python3.11-minimal"},
        {"... in a container, whose packages went with it", byPid(306, "getent"), 306, "getent",
         "web1/getent"},
        {"an inode no process holds", byInode(99), 0, kUnattributed, kUnattributed},
        {"no owner known (a connection's whole life between two samples)", SocketOwner{}, 0,
         kUnattributed, kUnattributed},
    };
    for (const auto &c : cases)
        EXPECT_EQ(sample({}, {{c.owner, true}}), (std::vector<Row>{{c.pid, c.name, c.app, 10, 1}}))
            << c.what;
    EXPECT_EQ(scans(), 1u) << "no scan without new inodes";
}

TEST_F(Attribution, OwnerThatExitedIsLookedForAgainOnlyWhileTheSocketIsHeld)
{
    host_.addProcess(100, "/usr/bin/curl", "", {7, 8});
    host_.addProcess(150, "/usr/bin/curl", "", {});
    host_.remove("proc/150/fd"); // listed, then exited before its scan
    sample({byInode(7), byInode(8)});
    AttributionHealth health;
    attribution_.addHealth(health);
    EXPECT_EQ(health.processesGoneMidScan, 1u);

    host_.remove("proc/100"); // 7 was passed on to a child; 8 closed with its owner
    host_.addProcess(300, "/opt/x/child", "child", {7});
    EXPECT_EQ(sample({}, {{byInode(7), true}, {byInode(8), false}}),
              (std::vector<Row>{{100, "curl", "curl", 10, 1}, {300, "child", "child", 10, 1}}));
    EXPECT_EQ(scans(), 2u);
}

TEST_F(Attribution, OwnersTheSourceNoLongerUsesAreForgotten)
{
    host_.addProcess(100, "/usr/bin/curl", "", {7});
    host_.addProcess(200, "/usr/bin/wget", "", {});
    sample({byInode(7), byPid(200)});
    host_.remove("proc/100");
    host_.remove("proc/200");
    source_.next.ownersReleased = true;
    source_.inUsePids = {200};
    sample({});
    EXPECT_EQ(
        sample({}, {{byInode(7), false}, {byPid(200), false}}),
        (std::vector<Row>{{0, kUnattributed, kUnattributed, 10, 1}, {200, "wget", "wget", 10, 1}}));
}

} // namespace
