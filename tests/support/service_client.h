#pragma once

#include "service_process.h"
#include "vexmora_bus_names.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantList>

namespace testsupport {

// Calls methods of the service interface as a client would.
class ServiceClient
{
public:
    explicit ServiceClient(QDBusConnection connection) : connection_(std::move(connection)) {}

    QDBusMessage
    call(const QString &method, const QVariantList &arguments = {},
         const QString &interface = QString::fromLatin1(vexmora::bus::kInterface)) const
    {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QString::fromLatin1(vexmora::bus::kServiceName),
            QString::fromLatin1(vexmora::bus::kObjectPath), interface, method);
        message.setArguments(arguments);
        return connection_.call(message, QDBus::Block, 10000);
    }

    // The single integer or string answer of a method; an invalid value on error.
    QVariant answer(const QString &method, const QVariantList &arguments = {}) const
    {
        const QDBusMessage reply = call(method, arguments);
        return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 1
                   ? reply.arguments().constFirst()
                   : QVariant();
    }

    int integer(const QString &method, const QVariantList &arguments = {}) const
    {
        const QVariant value = answer(method, arguments);
        return value.userType() == QMetaType::Int ? value.toInt() : -999;
    }

    QString text(const QString &method, const QVariantList &arguments = {}) const
    {
        const QVariant value = answer(method, arguments);
        return value.userType() == QMetaType::QString ? value.toString()
                                                      : QStringLiteral("<no string reply>");
    }

    QDBusConnection &connection() { return connection_; }

private:
    QDBusConnection connection_;
};

} // namespace testsupport
