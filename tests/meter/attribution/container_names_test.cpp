// Containers' names from their cgroups and their runtimes' state files, and
// their programs named by the container's own packages, against a fake host.
#include "container_names.h"
#include "fake_host.h"
#include "process_catalog.h"

#include <gtest/gtest.h>

using namespace vexmora::meter;
using vexmora::test::FakeHost;

namespace {

QByteArray id(char digit, int digits = 64)
{
    return QByteArray(digits, digit);
}

QByteArray dockerConfigFile(char digit)
{
    return QByteArray("docker/containers/") + id(digit) + "/config.v2.json";
}

QByteArray dockerConfig(const QByteArray &containerId, const QByteArray &name)
{
    return R"({"ID":")" + containerId + R"(","Name":")" + name + R"(","State":{"Running":true}})";
}

// The state files of Docker containers web1 (id a...), a hostile name (d...),
// one too large to read (e...), one whose file names another id (f...), a
// long name (7...), and podman's db (b...).
void addRuntimeState(FakeHost &host)
{
    const auto docker = [&](char digit, const QByteArray &content) {
        host.addFile(dockerConfigFile(digit).constData(), content);
    };
    docker('a', dockerConfig(id('a'), "/web1"));
    docker('d', dockerConfig(id('d'), "/\\u001b]0;pwn\\u0007\\u202e"));
    docker('e', dockerConfig(id('e'), "/big") + QByteArray(4 * 1024 * 1024, ' '));
    docker('f', dockerConfig(id('a'), "/web1"));
    docker('7', dockerConfig(id('7'), "/" + QByteArray(300, 'x')));
    host.addFile("containers/storage/overlay-containers/containers.json",
                 R"([{"id":")" + id('9') + R"(","names":["other"]},{"id":")" + id('b') +
                     R"(","names":["db","db-alias"],"image":"x"}])");
}

QString containerOf(ContainerNames &names, const QByteArray &procCgroup)
{
    return names.nameOf(containerCgroup(unifiedCgroupPath(procCgroup)));
}

TEST(ContainerNames, OnlyTheRuntimesCgroupsNameContainersAsTheirStateFilesSay)
{
    FakeHost host;
    addRuntimeState(host);
    ContainerNames names(host.sources().containerState);
    const QByteArray a = id('a');
    const QByteArray crafted = "/user.slice/x\n0::/system.slice/docker-" + a + ".scope";
    const struct
    {
        QByteArray procCgroup;
        QByteArray container; // "" for none
    } cases[] = {
        {"0::/system.slice/docker-" + a + ".scope\n", "web1"},
        {"0::/docker/" + a + "\n", "web1"},
        {"12:pids:/docker/" + a + "\n1:name=systemd:/docker/" + a + "\n0::/docker/" + a + "\n",
         "web1"},
        {"0::/machine.slice/libpod-" + id('b') + ".scope/container\n", "db"},
        {"0::/libpod_parent/libpod-" + id('b') + "\n", "db"},
        {"0::/machine.slice/machine-build\\x2dbox.scope/payload\n", "build-box"},
        {"0::/lxc.payload.mail\n", "mail"},
        {"0::/lxc/mail/init.scope\n", "mail"},
        // No name to be found: the id as the runtimes' tools show it.
        {"0::/system.slice/docker-" + id('c') + ".scope\n", "cccccccccccc"},
        {"0::/system.slice/docker-" + id('e') + ".scope\n", "eeeeeeeeeeee"}, // over 4 MiB
        {"0::/system.slice/docker-" + id('f') + ".scope\n", "ffffffffffff"},
        {"0::/machine.slice/libpod-" + id('c') + ".scope\n", "cccccccccccc"},
        {"0::/system.slice/docker-" + id('d') + ".scope\n", "\u241b]0;pwn\u2407\ufffd"},
        {"0::/docker/" + id('7') + "\n", QByteArray(125, 'x') + "\u2026"}, // 128 bytes
        // What a user, a delegated service or a crafted cgroup name makes.
        {"0::/user.slice/user-1000.slice/user@1000.service/app.slice/docker-" + a + ".scope\n", ""},
        {"0::/user.slice/docker-" + a + ".scope\n", ""},
        {"0::/system.slice/build.service/docker-" + a + ".scope\n", ""},
        // A user's cgroup named with a line break, on a hybrid host.
        {"1:name=systemd:" + crafted + "\n0::" + crafted + "\n", ""},
        {"0::/system.slice/docker-" + id('a', 63) + ".scope\n", ""},
        {"0::/system.slice/docker-" + id('a', 65) + ".scope\n", ""},
        {"0::/system.slice/docker-" + id('A') + ".scope\n", ""},
        {"0::/system.slice/docker-" + id('g') + ".scope\n", ""},
        {"0::/machine.slice/libpod-conmon-" + id('b') + ".scope\n", ""},
        {"0::/lxc.monitor.mail\n", ""},
        {"0::/\n", ""},
        {"", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(containerOf(names, c.procCgroup).toStdString(), c.container.toStdString())
            << c.procCgroup.toStdString();

    // A state file is read again when it changed, not at each lookup.
    const QString config = host.path(dockerConfigFile('a').constData());
    QFile file(config);
    const QDateTime modified = QFileInfo(config).lastModified();
    ASSERT_TRUE(file.open(QIODevice::ReadWrite | QIODevice::Truncate));
    file.write(dockerConfig(a, "/web2"));
    ASSERT_TRUE(file.flush());
    ASSERT_TRUE(file.setFileTime(modified, QFileDevice::FileModificationTime));
    EXPECT_EQ(containerOf(names, cases[0].procCgroup).toStdString(), "web1");
    ASSERT_TRUE(file.setFileTime(modified.addSecs(10), QFileDevice::FileModificationTime));
    EXPECT_EQ(containerOf(names, cases[0].procCgroup).toStdString(), "web2");
}

TEST(ContainerNames, ProgramsAreContainerSlashProgramNamedByTheContainersOwnPackages)
{
    FakeHost host;
    addRuntimeState(host);
    host.addPackage("netcat-openbsd", "/bin/nc.openbsd\n");
    host.addPackage("nginx", "/usr/sbin/nginx\n");
    host.addPackage("nginx-light", "/usr/sbin/nginx\n", "ctr/web1/var/lib/dpkg");
    host.addPackage("python3.12-minimal", "/usr/bin/python3.12\n", "ctr/web1/var/lib/dpkg");
    host.addFile("ctr/web1/app/server.py");
    host.addPackage("nginx-light", "/usr/sbin/nginx\n", "ctr/huge/var/lib/dpkg");
    QFile huge(host.addFile("ctr/huge/var/lib/dpkg/info/zz-huge.list", {}));
    ASSERT_TRUE(huge.resize(qint64(65) << 20)); // over what a container's lists may hold
    const QByteArray web1 = "0::/system.slice/docker-" + id('a') + ".scope\n";
    const QByteArray db = "0::/machine.slice/libpod-" + id('b') + ".scope/container\n";
    host.addProcess(500, "/usr/sbin/nginx", "nginx", {}, "ctr/web1", web1);
    host.addProcess(501, "/usr/bin/python3.12", QByteArray("python3\0/app/server.py", 22), {},
                    "ctr/web1", web1);
    host.addProcess(502, "/usr/bin/nc.openbsd", "nc", {}, "ctr/db", db); // no dpkg there
    host.addProcess(503, "/usr/sbin/nginx", "nginx", {});
    host.addProcess(504, "/usr/sbin/nginx", "nginx", {}, "ctr/huge", "0::/lxc.payload.huge\n");
    const AttributionSources sources = host.sources();
    PackageIndex packages(sources.dpkgInfoDir, sources.dpkgStatusFile);
    packages.refresh();
    ProcessCatalog catalog(sources.procRoot, sources.programDirs, packages, sources.containerState);
    const std::pair<qint64, const char *> expected[] = {{500, "web1/nginx-light"},
                                                        {501, "web1/server.py"},
                                                        {502, "db/nc.openbsd"},
                                                        {503, "nginx"},
                                                        {504, "huge/nginx"}};
    for (const auto &[pid, app] : expected)
        catalog.learn(pid);
    host.addPackage("wget", "/usr/bin/wget\n"); // the host's packages change
    packages.refresh();
    for (bool renamed : {false, true}) {
        if (renamed)
            catalog.renameApplications();
        for (const auto &[pid, app] : expected) {
            ASSERT_NE(catalog.find(pid), nullptr) << pid;
            EXPECT_EQ(catalog.find(pid)->app.toStdString(), app) << pid << " renamed " << renamed;
        }
    }
}

} // namespace
