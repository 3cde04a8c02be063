#pragma once

// The real service in the mount namespace that main() gave the test process,
// so that tmpfs mounts over the state directory stay inside it.

#include "service_test.h"

#include <QProcess>

class NamespacedServiceTest : public testsupport::ServiceTest
{
protected:
    void SetUp() override
    {
        if (!inPrivateMountNamespace()) {
            GTEST_SKIP() << "needs root for a mount namespace of its own";
        }
        ServiceTest::SetUp();
    }
    void TearDown() override
    {
        ServiceTest::TearDown();
        service_.stop();
        run("umount", {QStringLiteral("-q"), testsupport::stateDir()});
    }
    static bool run(const char *program, const QStringList &arguments)
    {
        return QProcess::execute(QString::fromLatin1(program), arguments) == 0;
    }
    static bool mountTmpfs(const QString &options)
    {
        return run("mount", {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                             options, QStringLiteral("tmpfs"), testsupport::stateDir()});
    }
};
