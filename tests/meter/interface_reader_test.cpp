// The kernel's own reader of the interfaces' counters, against what /proc and
// sysfs show of this namespace.
#include "interface_counters.h"

#include <QFile>
#include <algorithm>
#include <gtest/gtest.h>

using namespace vexmora::meter;

namespace {

std::vector<InterfaceCounters> procAndSysfs()
{
    QFile file(QStringLiteral("/proc/net/dev"));
    std::vector<InterfaceCounters> interfaces;
    if (file.open(QIODevice::ReadOnly))
        interfaces = parseNetDev(file.readAll());
    for (InterfaceCounters &interface : interfaces) {
        QFile index(QStringLiteral("/sys/class/net/") + QString::fromUtf8(interface.name) +
                    QStringLiteral("/ifindex"));
        if (index.open(QIODevice::ReadOnly))
            interface.ifindex = index.readAll().trimmed().toInt();
    }
    return interfaces;
}

bool sameLinks(const std::vector<InterfaceCounters> &a, const std::vector<InterfaceCounters> &b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto &x, const auto &y) {
        return x.name == y.name && x.ifindex == y.ifindex;
    });
}

// The interfaces with their indexes as sysfs has them and counters between
// two readings of /proc/net/dev. Other tests create interfaces meanwhile: a
// reading during which they changed is taken again.
TEST(InterfaceReader, TheLinkDumpHasWhatProcAndSysfsShow)
{
    InterfaceReader kernel;
    std::vector<InterfaceCounters> read;
    int compared = 0;
    for (int attempt = 0; attempt < 20 && compared < 2; ++attempt) { // the second reuses entries
        const std::vector<InterfaceCounters> before = procAndSysfs();
        ASSERT_TRUE(kernel.read(read));
        const std::vector<InterfaceCounters> after = procAndSysfs();
        if (!sameLinks(before, after))
            continue;
        ++compared;
        ASSERT_FALSE(before.empty());
        ASSERT_EQ(read.size(), before.size());
        for (std::size_t i = 0; i < before.size(); ++i) {
            SCOPED_TRACE(before[i].name.toStdString());
            const auto found = std::find_if(read.begin(), read.end(), [&](const auto &link) {
                return link.name == before[i].name;
            });
            ASSERT_NE(found, read.end());
            EXPECT_EQ(found->ifindex, before[i].ifindex);
            EXPECT_GE(found->bytes.recv, before[i].bytes.recv);
            EXPECT_LE(found->bytes.recv, after[i].bytes.recv);
            EXPECT_GE(found->bytes.sent, before[i].bytes.sent);
            EXPECT_LE(found->bytes.sent, after[i].bytes.sent);
        }
    }
    EXPECT_EQ(compared, 2) << "the interfaces kept changing";
}

} // namespace
