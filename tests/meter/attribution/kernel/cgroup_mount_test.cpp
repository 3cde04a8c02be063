// Where the cgroup v2 hierarchy is, from the mount table.
#include "cgroup_mount.h"

#include <gtest/gtest.h>

using vexmora::meter::cgroupV2MountPoint;

namespace {

TEST(CgroupMount, TheUnifiedHierarchyIsFoundWhereverItIsMounted)
{
    const QByteArray v1 = "30 25 0:26 / /sys/fs/cgroup/cpu rw,nosuid shared:11 - cgroup cgroup "
                          "rw,cpu\n";
    const struct
    {
        const char *host;
        QByteArray mountinfo;
        QString expected;
    } cases[] = {
        {"unified", "29 23 0:25 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw\n",
         QStringLiteral("/sys/fs/cgroup")},
        {"hybrid", v1 + "28 25 0:25 / /sys/fs/cgroup/unified rw shared:9 - cgroup2 cgroup2 rw\n",
         QStringLiteral("/sys/fs/cgroup/unified")},
        {"no optional fields, escaped space",
         "28 25 0:25 / /run/my\\040cgroup rw - cgroup2 none rw\n",
         QStringLiteral("/run/my cgroup")},
        {"cgroup v1 only", v1, QString()},
        {"a source named cgroup2", "40 1 0:40 / /mnt rw - tmpfs cgroup2 rw\n", QString()},
    };
    for (const auto &c : cases)
        EXPECT_EQ(cgroupV2MountPoint(c.mountinfo), c.expected) << c.host;
}

} // namespace
