#include "ctl_commands.h"

#include "meter_link.h"
#include "report_views.h"
#include "service_link.h"
#include "terminal_text.h"

#include <QCoreApplication>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace vexmora::ctl {
namespace {

constexpr int kDefaultWidth = 80;

void writeBytes(FILE *stream, const QByteArray &bytes)
{
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    fflush(stream);
}

// Scripts get the reply byte for byte; a terminal also gets a line feed.
void writeReply(const QByteArray &reply)
{
    writeBytes(stdout, reply);
    if (isatty(STDOUT_FILENO) && !reply.endsWith('\n')) {
        writeBytes(stdout, "\n");
    }
}

int terminalWidth()
{
    bool isNumber = false;
    const int columns = qEnvironmentVariableIntValue("COLUMNS", &isNumber);
    if (isNumber && columns > 0) {
        return columns;
    }
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return kDefaultWidth;
}

int unreachable(const ServiceLink &link)
{
    writeError(QStringLiteral("vexmoractl: ") + link.failure().simplified() + QLatin1Char('\n'));
    return kUnreachable;
}

QDBusPendingReply<int> callSetSwitch(VexmoraServerProxy &proxy, const QString &name, int mode)
{
    if (name == QLatin1String("count")) {
        return proxy.setNetmonitorStatus(mode);
    }
    if (name == QLatin1String("alarm")) {
        return proxy.setNetmonitorAlarmStatus(mode);
    }
    return name == QLatin1String("egress") ? proxy.setEgressAlarmStatus(mode)
                                           : proxy.setIngressAlarmStatus(mode);
}

QDBusPendingReply<int> callSetThreshold(VexmoraServerProxy &proxy, const Request &request)
{
    if (request.target == QLatin1String("overall")) {
        return proxy.setNetmonitorThreshold(request.size, request.period);
    }
    return request.target == QLatin1String("egress")
               ? proxy.setEgressThreshold(request.size, request.period)
               : proxy.setIngressThreshold(request.size, request.period);
}

int reportSetterAnswer(int answer, const QString &done, const QString &what)
{
    if (answer != 0) {
        writeError(QStringLiteral("vexmoractl: the service refused ") + what +
                   QStringLiteral(" (answer ") + QString::number(answer) + QStringLiteral(")\n"));
        return kRefused;
    }
    writeOut(done + QLatin1Char('\n'));
    return kDone;
}

int runSet(ServiceLink &link, const Request &request)
{
    int answer = 0;
    if (!link.await(callSetSwitch(link.proxy(), request.target, request.mode), answer)) {
        return unreachable(link);
    }
    const QString state = request.mode == 1 ? QStringLiteral("on") : QStringLiteral("off");
    return reportSetterAnswer(answer, request.target + QStringLiteral(" is ") + state,
                              QStringLiteral("to switch ") + request.target + QLatin1Char(' ') +
                                  state);
}

int runThreshold(ServiceLink &link, const Request &request)
{
    int answer = 0;
    if (!link.await(callSetThreshold(link.proxy(), request), answer)) {
        return unreachable(link);
    }
    const QString values = QStringLiteral("size ") + QString::number(request.size) +
                           QStringLiteral(", period ") + QString::number(request.period);
    return reportSetterAnswer(answer, request.target + QStringLiteral(" threshold set: ") + values,
                              request.target + QStringLiteral(" threshold ") + values);
}

int runStatus(ServiceLink &link, const Request &request)
{
    VexmoraServerProxy &proxy = link.proxy();
    ServiceStatus status;
    if (!link.await(proxy.getNetmonitorStatus(), status.count) ||
        !link.await(proxy.getNetmonitorAlarmStatus(), status.alarm) ||
        !link.await(proxy.getEgressAlarmStatus(), status.egress) ||
        !link.await(proxy.getIngressAlarmStatus(), status.ingress) ||
        !link.await(proxy.getNetmonitorThreshold(), status.overallThreshold) ||
        !link.await(proxy.getEgressThreshold(), status.egressThreshold) ||
        !link.await(proxy.getIngressThreshold(), status.ingressThreshold)) {
        return unreachable(link);
    }
    if (request.json) {
        writeReply(statusJson(status));
    } else {
        writeOut(formatStatus(status));
    }
    return kDone;
}

QDBusPendingReply<QString> callReader(VexmoraServerProxy &proxy, const Request &request)
{
    switch (request.command) {
    case Command::Top:
        return proxy.getRecentTop10(request.days);
    case Command::Hours:
        return proxy.getRecentData(request.days);
    case Command::Apps:
        return proxy.getAllAppNetflow();
    case Command::Processes:
        return proxy.getAllProcessNetflow();
    default:
        return proxy.getReportData();
    }
}

std::optional<QString> readableForm(ServiceLink &link, const Request &request, const QString &reply)
{
    switch (request.command) {
    case Command::Top:
        return formatTop(reply, request.days);
    case Command::Hours:
        return formatHours(reply, request.days, terminalWidth(),
                           currentHourEntry(link.connection()));
    case Command::Report:
        return formatReport(reply);
    default:
        return formatSnapshot(reply);
    }
}

int runReader(ServiceLink &link, const Request &request)
{
    QString reply;
    if (!link.await(callReader(link.proxy(), request), reply)) {
        return unreachable(link);
    }
    if (request.json) {
        writeReply(reply.toUtf8());
        return kDone;
    }
    const std::optional<QString> readable = readableForm(link, request, reply);
    if (!readable) {
        writeError(QStringLiteral("vexmoractl: the reply is not the JSON this report should be; "
                                  "here it is as it came\n"));
        writeOut(reply.endsWith(QLatin1Char('\n')) ? reply : reply + QLatin1Char('\n'));
        return kDone;
    }
    writeOut(*readable);
    return kDone;
}

int runWatch(ServiceLink &link)
{
    AlarmPrinter printer;
    if (!printer.subscribe(link.connection())) {
        writeError(QStringLiteral("vexmoractl: cannot listen to the meter's alarms: ") +
                   link.connection().lastError().message() + QLatin1Char('\n'));
        return kUnreachable;
    }
    writeOut(QStringLiteral("Waiting for traffic alarms (Ctrl-C ends).\n"));
    printer.printRaised(link.connection());
    return QCoreApplication::exec();
}

} // namespace

void writeOut(const QString &text)
{
    writeBytes(stdout, tools::terminalText(text).toUtf8());
}

void writeError(const QString &text)
{
    writeBytes(stderr, tools::terminalText(text).toUtf8());
}

int runRequest(const Request &request)
{
    ServiceLink link;
    if (!link.busReachable()) {
        return unreachable(link);
    }
    switch (request.command) {
    case Command::Set:
        return runSet(link, request);
    case Command::Threshold:
        return runThreshold(link, request);
    case Command::Status:
        return runStatus(link, request);
    case Command::Watch:
        return runWatch(link);
    default:
        return runReader(link, request);
    }
}

} // namespace vexmora::ctl
