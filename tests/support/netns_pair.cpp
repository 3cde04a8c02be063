#include "netns_pair.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace testsupport {

QString shellFailure(const QString &script)
{
    QProcess shell;
    shell.setProcessChannelMode(QProcess::MergedChannels);
    shell.start(QStringLiteral("sh"), {QStringLiteral("-ec"), script});
    if (shell.waitForFinished(60000) && shell.exitStatus() == QProcess::NormalExit &&
        shell.exitCode() == 0)
        return {};
    return script + QStringLiteral(": ") + QString::fromLocal8Bit(shell.readAll()) +
           shell.errorString();
}

NetnsPair::NetnsPair()
{
    const QString prefix = QStringLiteral("vxattr-%1-").arg(QCoreApplication::applicationPid());
    a_ = prefix + QLatin1Char('a');
    b_ = prefix + QLatin1Char('b');
    error_ =
        shellFailure(QStringLiteral("ip netns add %1; ip netns add %2\n"
                                    "ip -n %1 link add veth0 type veth peer name veth1 netns %2\n"
                                    "ip -n %1 addr add 10.231.0.1/24 dev veth0\n"
                                    "ip -n %2 addr add 10.231.0.2/24 dev veth1\n"
                                    "ip -n %1 addr add fd00:231::1/64 dev veth0 nodad\n"
                                    "ip -n %2 addr add fd00:231::2/64 dev veth1 nodad\n"
                                    "ip -n %1 link set veth0 up; ip -n %2 link set veth1 up\n"
                                    "ip -n %1 link set lo up")
                         .arg(a_, b_));
}

NetnsPair::~NetnsPair()
{
    shellFailure(QStringLiteral("ip netns delete %1 || true; ip netns delete %2").arg(a_, b_));
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

} // namespace testsupport
