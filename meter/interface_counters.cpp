#include "interface_counters.h"

#include <QFile>
#include <QFileInfo>

namespace vexmora::meter {
namespace {

// Received bytes are the first number after the name, sent bytes the ninth.
constexpr int kRecvField = 0;
constexpr int kSentField = 8;
constexpr int kFieldCount = 16;

QByteArray readWhole(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool parseLine(const QByteArray &line, InterfaceCounters &counters)
{
    const int colon = line.indexOf(':');
    if (colon <= 0) {
        return false;
    }
    const QList<QByteArray> fields = line.mid(colon + 1).simplified().split(' ');
    if (fields.size() < kFieldCount) {
        return false;
    }
    bool recvOk = false;
    bool sentOk = false;
    counters.name = line.left(colon).trimmed();
    counters.bytes.recv = fields[kRecvField].toULongLong(&recvOk);
    counters.bytes.sent = fields[kSentField].toULongLong(&sentOk);
    return recvOk && sentOk && !counters.name.isEmpty();
}

} // namespace

std::vector<InterfaceCounters> parseNetDev(const QByteArray &text)
{
    std::vector<InterfaceCounters> interfaces;
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 2; i < lines.size(); ++i) {
        InterfaceCounters counters;
        if (parseLine(lines[i], counters)) {
            interfaces.push_back(std::move(counters));
        }
    }
    return interfaces;
}

InterfaceReader::InterfaceReader(QString root) : root_(std::move(root)) {}

bool InterfaceReader::read(std::vector<InterfaceCounters> &interfaces) const
{
    QFile file(root_ + QStringLiteral("/proc/net/dev"));
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    interfaces = parseNetDev(file.readAll());
    return true;
}

int InterfaceReader::ifindex(const QByteArray &name) const
{
    return readWhole(sysPath(name, "ifindex")).trimmed().toInt();
}

bool InterfaceReader::isPhysical(const QByteArray &name) const
{
    return QFileInfo::exists(sysPath(name, "device"));
}

QByteArray InterfaceReader::bootId() const
{
    return readWhole(root_ + QStringLiteral("/proc/sys/kernel/random/boot_id")).trimmed();
}

QString InterfaceReader::sysPath(const QByteArray &name, const char *entry) const
{
    return root_ + QStringLiteral("/sys/class/net/") + QString::fromUtf8(name) + QLatin1Char('/') +
           QLatin1String(entry);
}

} // namespace vexmora::meter
