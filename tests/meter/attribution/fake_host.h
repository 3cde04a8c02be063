// A fake host for the attribution: /proc, dpkg's database, the programs'
// directory and the container runtimes' state, in a scratch directory.
#pragma once

#include "attribution_types.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

namespace vexmora::test {

using meter::AttributionSources;

class FakeHost
{
public:
    FakeHost()
    {
        addPackage("curl:amd64", "/.\n/usr/bin\n/usr/bin/curl\n");
        addProgram("getent", "libc-bin");
        addProgram("python3", "python3-minimal");
        addPackage("python3.11-minimal", "/usr/bin/python3.11\n");
    }
    AttributionSources sources() const
    {
        return {path("proc"),  path("dpkg/info"), statusFile(),
                {path("bin")}, QString(),         {path("docker"), path("containers")}};
    }
    // The status file grows with each package, as dpkg's does. dpkgDir: a
    // container's database, such as "ctr/web/var/lib/dpkg".
    void addPackage(const char *name, const QByteArray &list, const char *dpkgDir = "dpkg")
    {
        write(QStringLiteral("%1/info/%2.list").arg(QLatin1String(dpkgDir), QLatin1String(name)),
              list);
        write(QStringLiteral("%1/status").arg(QLatin1String(dpkgDir)),
              QByteArray("Package: ") + name + "\n\n", QIODevice::Append);
    }
    // root: where the process's / is (a container's, "ctr/NAME"); procCgroup:
    // its /proc/PID/cgroup, none when empty.
    void addProcess(qint64 pid, const char *exe, const QByteArray &cmdline,
                    const std::vector<quint32> &sockets, const char *root = nullptr,
                    const QByteArray &procCgroup = {})
    {
        const QString dir = QStringLiteral("proc/%1/").arg(pid);
        write(dir + QStringLiteral("comm"), QFileInfo(QLatin1String(exe)).fileName().toUtf8());
        write(dir + QStringLiteral("cmdline"), cmdline);
        link(exe, dir + QStringLiteral("exe"));
        link("/", dir + QStringLiteral("cwd"));
        link(root ? QFile::encodeName(path(root)).constData() : "/", dir + QStringLiteral("root"));
        if (!procCgroup.isEmpty())
            write(dir + QStringLiteral("cgroup"), procCgroup);
        for (quint32 inode : sockets)
            link(QByteArray("socket:[" + QByteArray::number(inode) + ']').constData(),
                 dir + QStringLiteral("fd/%1").arg(inode));
    }
    // An executable in the programs' directory, installed by package.
    void addProgram(const char *name, const char *package)
    {
        const QString relative = QStringLiteral("bin/%1").arg(QLatin1String(name));
        write(relative, "#!/bin/false\n");
        QFile(dir_.filePath(relative)).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        addPackage(package, dir_.filePath(relative).toUtf8() + '\n');
    }
    void remove(const char *relative) { QDir(path(relative)).removeRecursively(); }
    // A file of the host's, by its absolute path.
    QString addFile(const char *relative, const QByteArray &content = "#!/bin/false\n")
    {
        write(QLatin1String(relative), content);
        return path(relative);
    }
    QString path(const char *relative) const { return dir_.filePath(QLatin1String(relative)); }

private:
    QString statusFile() const { return path("dpkg/status"); }
    void write(const QString &relative, const QByteArray &content,
               QIODevice::OpenMode mode = QIODevice::WriteOnly)
    {
        QDir(dir_.path()).mkpath(QFileInfo(relative).path());
        QFile out(dir_.filePath(relative));
        ASSERT_TRUE(out.open(mode));
        out.write(content);
    }
    void link(const char *target, const QString &relative)
    {
        QDir(dir_.path()).mkpath(QFileInfo(relative).path());
        ASSERT_EQ(::symlink(target, QFile::encodeName(dir_.filePath(relative)).constData()), 0);
    }
    QTemporaryDir dir_;
};

} // namespace vexmora::test
