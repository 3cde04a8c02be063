#include <QCoreApplication>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

static bool privateMounts = false;

bool inPrivateMountNamespace()
{
    return privateMounts;
}

int main(int argc, char **argv)
{
    // Before any thread starts: a process with threads cannot leave their
    // namespace. Mounts over the state directory then vanish with the test.
    privateMounts = ::unshare(CLONE_NEWNS) == 0 &&
                    ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
