#include "bus_client.h"

#include "vexmora_bus_names.h"

#include <stdexcept>
#include <vector>

namespace bench {
namespace {

constexpr int kCallTimeoutMs = 60000;

} // namespace

QDBusMessage BusClient::methodCall(const QString &method, const QVariantList &arguments)
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(QString::fromLatin1(vexmora::bus::kServiceName),
                                       QString::fromLatin1(vexmora::bus::kObjectPath),
                                       QString::fromLatin1(vexmora::bus::kInterface), method);
    call.setArguments(arguments);
    return call;
}

QDBusMessage BusClient::pingCall()
{
    return QDBusMessage::createMethodCall(QString::fromLatin1(vexmora::bus::kServiceName),
                                          QString::fromLatin1(vexmora::bus::kObjectPath),
                                          QStringLiteral("org.freedesktop.DBus.Peer"),
                                          QStringLiteral("Ping"));
}

QDBusMessage BusClient::send(const QDBusMessage &call)
{
    QDBusMessage reply = connection_.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        const QString error = call.member() + QStringLiteral(" failed: ") + reply.errorName() +
                              QLatin1Char(' ') + reply.errorMessage();
        throw std::runtime_error(error.toStdString());
    }
    return reply;
}

void BusClient::sendRefused(const QDBusMessage &call, const QString &errorName)
{
    const QDBusMessage reply = connection_.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ErrorMessage || reply.errorName() != errorName) {
        throw std::runtime_error(call.member().toStdString() + " was not refused as expected");
    }
}

QString BusClient::text(const QDBusMessage &call)
{
    return send(call).arguments().value(0).toString();
}

PairedSummary measureAgainstPing(BusClient &client, const QDBusMessage &call, int count)
{
    return measureInTurnAgainstPing(client, {[&] { client.send(call); }}, count).front();
}

std::vector<PairedSummary> measureInTurnAgainstPing(BusClient &client,
                                                    const std::vector<std::function<void()>> &calls,
                                                    int rounds)
{
    const QDBusMessage ping = BusClient::pingCall();
    std::vector<std::vector<double>> methodSamples(calls.size());
    std::vector<std::vector<double>> pingSamples(calls.size());
    for (int round = 0; round < rounds; ++round) {
        for (size_t i = 0; i < calls.size(); ++i) {
            pingSamples[i].push_back(timeMicros([&] { client.send(ping); }));
            methodSamples[i].push_back(timeMicros(calls[i]));
        }
    }
    std::vector<PairedSummary> summaries;
    for (size_t i = 0; i < calls.size(); ++i) {
        summaries.push_back(
            {summarize(std::move(methodSamples[i])), summarize(std::move(pingSamples[i]))});
    }
    return summaries;
}

} // namespace bench
