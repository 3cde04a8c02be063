#pragma once

// The fixture of every end-to-end test: a fresh state directory, then the
// real vexmorad on a private bus with a client connection. The programs link
// vexmora_qt_gtest_main, which creates the QCoreApplication the bus needs.

#include "private_bus.h"
#include "state_dir.h"
#include "vexmora_bus_names.h"

#include <QDBusMessage>
#include <gtest/gtest.h>
#include <iostream>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QVariant &value, std::ostream *out)
{
    *out << value.typeName() << ' ' << value.toString().toStdString();
}
QT_END_NAMESPACE

// Whether main() moved the test process into a mount namespace of its own.
bool inPrivateMountNamespace();

namespace testsupport {

class ServiceTest : public testing::Test
{
protected:
    // busConfig defaults to the open test configuration.
    explicit ServiceTest(QString busConfig = QString()) : bus_(std::move(busConfig)) {}

    void SetUp() override
    {
        resetStateDir();
        prepareState();
        ASSERT_TRUE(bus_.start()) << bus_.log().constData();
        connection_ = bus_.connect(QStringLiteral("client"));
        ASSERT_TRUE(service_.start(bus_.address(), connection_)) << service_.log().constData();
    }
    void TearDown() override
    {
        // A report of the sanitized build that does not change how the service
        // ends: a leak found when it exits.
        EXPECT_FALSE(service_.log().contains("Sanitizer"));
        if (HasFailure()) {
            std::cerr << "vexmorad:\n"
                      << service_.log().constData() << "\ndbus-daemon:\n"
                      << bus_.log().constData() << '\n';
        }
    }
    // What the state directory holds before the service starts.
    virtual void prepareState() {}

    // A method call of the service interface unless another is named.
    QDBusMessage call(const QString &method, const QVariantList &arguments = {},
                      const char *interface = vexmora::bus::kInterface)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QString::fromLatin1(vexmora::bus::kServiceName),
            QString::fromLatin1(vexmora::bus::kObjectPath), QString::fromLatin1(interface), method);
        message.setArguments(arguments);
        return connection_.call(message, QDBus::Block, 10000);
    }
    // The single answer of a method; an invalid QVariant for an error.
    QVariant answer(const char *method, const QVariantList &arguments = {})
    {
        const QDBusMessage reply = call(QString::fromLatin1(method), arguments);
        return reply.type() == QDBusMessage::ReplyMessage ? reply.arguments().value(0) : QVariant();
    }

    // Declared in start order: the service stops first, the bus last.
    PrivateBus bus_;
    QDBusConnection connection_{QString()};
    ServiceProcess service_;
};

} // namespace testsupport
