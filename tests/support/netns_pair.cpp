#include "netns_pair.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace testsupport {

namespace {

const QString kPrefix = QStringLiteral("vxattr-");

bool run(const QStringList &command, QString *error)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(command.first(), command.mid(1));
    if (process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit &&
        process.exitCode() == 0)
        return true;
    if (error && error->isEmpty())
        *error = command.join(QLatin1Char(' ')) + QStringLiteral(": ") +
                 QString::fromLocal8Bit(process.readAll()).trimmed() + process.errorString();
    return false;
}

QStringList ip(const QString &args)
{
    return QStringList{QStringLiteral("ip")} + args.split(QLatin1Char(' '));
}

void deleteOrphanedNamespaces()
{
    const QStringList names =
        QDir(QStringLiteral("/run/netns")).entryList({kPrefix + QLatin1Char('*')});
    for (const QString &name : names) {
        const QString pid = name.section(QLatin1Char('-'), 1, 1);
        if (!QFile::exists(QStringLiteral("/proc/") + pid))
            run(ip(QStringLiteral("netns delete ") + name), nullptr);
    }
}

} // namespace

NetnsPair::NetnsPair()
    : a_(kPrefix + QString::number(QCoreApplication::applicationPid()) + QStringLiteral("-a")),
      b_(kPrefix + QString::number(QCoreApplication::applicationPid()) + QStringLiteral("-b"))
{
    deleteOrphanedNamespaces();
    const QString setup[] = {
        QStringLiteral("netns add %1").arg(a_),
        QStringLiteral("netns add %1").arg(b_),
        QStringLiteral("-n %1 link add veth0 type veth peer name veth1 netns %2").arg(a_, b_),
        QStringLiteral("-n %1 addr add %2/24 dev veth0").arg(a_, QLatin1String(kAddressA4)),
        QStringLiteral("-n %1 addr add %2/24 dev veth1").arg(b_, QLatin1String(kAddressB4)),
        QStringLiteral("-n %1 addr add %2/64 dev veth0 nodad").arg(a_, QLatin1String(kAddressA6)),
        QStringLiteral("-n %1 addr add %2/64 dev veth1 nodad").arg(b_, QLatin1String(kAddressB6)),
        QStringLiteral("-n %1 link set lo up").arg(a_),
        QStringLiteral("-n %1 link set lo up").arg(b_),
        QStringLiteral("-n %1 link set veth0 up").arg(a_),
        QStringLiteral("-n %1 link set veth1 up").arg(b_),
    };
    for (const QString &step : setup) {
        if (!run(ip(step), &error_))
            return;
    }
}

NetnsPair::~NetnsPair()
{
    run(ip(QStringLiteral("netns delete ") + a_), nullptr);
    run(ip(QStringLiteral("netns delete ") + b_), nullptr);
}

NetnsEntry::NetnsEntry(const QString &name)
    : original_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC))
{
    const int target = ::open(QFile::encodeName(QStringLiteral("/run/netns/") + name).constData(),
                              O_RDONLY | O_CLOEXEC);
    entered_ = original_ >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    if (target >= 0)
        ::close(target);
}

NetnsEntry::~NetnsEntry()
{
    if (entered_)
        ::setns(original_, CLONE_NEWNET);
    if (original_ >= 0)
        ::close(original_);
}

QStringList inNamespace(const QString &name, const QStringList &command)
{
    return QStringList{QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("exec"),
                       name} +
           command;
}

} // namespace testsupport
