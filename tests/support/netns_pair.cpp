#include "netns_pair.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace testsupport {

namespace {

bool ip(const QString &args, QString *error = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("ip"), args.split(QLatin1Char(' ')));
    const bool ok = process.waitForFinished(10000) &&
                    process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!ok && error)
        *error = QStringLiteral("ip ") + args + QStringLiteral(": ") +
                 QString::fromLocal8Bit(process.readAll()).trimmed() + process.errorString();
    return ok;
}

} // namespace

NetnsPair::NetnsPair()
{
    const QString prefix = QStringLiteral("vxattr-%1-").arg(QCoreApplication::applicationPid());
    a_ = prefix + QLatin1Char('a');
    b_ = prefix + QLatin1Char('b');
    const QString setup[] = {
        QStringLiteral("netns add %1").arg(a_),
        QStringLiteral("netns add %1").arg(b_),
        QStringLiteral("-n %1 link add veth0 type veth peer name veth1 netns %2").arg(a_, b_),
        QStringLiteral("-n %1 addr add 10.231.0.1/24 dev veth0").arg(a_),
        QStringLiteral("-n %1 addr add 10.231.0.2/24 dev veth1").arg(b_),
        QStringLiteral("-n %1 addr add fd00:231::1/64 dev veth0 nodad").arg(a_),
        QStringLiteral("-n %1 addr add fd00:231::2/64 dev veth1 nodad").arg(b_),
        QStringLiteral("-n %1 link set veth0 up").arg(a_),
        QStringLiteral("-n %1 link set veth1 up").arg(b_),
        QStringLiteral("-n %1 link set lo up").arg(a_),
    };
    for (const QString &step : setup) {
        if (!ip(step, &error_))
            return;
    }
}

NetnsPair::~NetnsPair()
{
    ip(QStringLiteral("netns delete ") + a_);
    ip(QStringLiteral("netns delete ") + b_);
}

NetnsEntry::NetnsEntry(const QString &name)
    : original_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC))
{
    const QByteArray path = QFile::encodeName(QStringLiteral("/run/netns/") + name);
    const int target = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
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
