#include "meter_options.h"

#include <QCommandLineParser>
#include <QRegularExpression>
#include <cmath>

namespace vexmora::meter {
namespace {

constexpr double kMinIntervalSeconds = 0.1;
// Peaks are one-minute averages: every minute needs a sample.
constexpr double kMaxIntervalSeconds = 60;
constexpr int kMaxKeepDays = 100000;
constexpr int kMaxAppsLimit = 1000000;

const QString kInterval = QStringLiteral("interval");
const QString kInterfaces = QStringLiteral("interfaces");
const QString kKeepDays = QStringLiteral("keep-days");
const QString kMaxApps = QStringLiteral("max-apps");
const QString kTextfile = QStringLiteral("textfile");
const QString kAttribution = QStringLiteral("attribution");
const QString kHelp = QStringLiteral("help");

constexpr char kUsage[] =
    "Usage: vexmora-meter [OPTION]...\n"
    "Measure the host's network traffic into the vexmora state directory.\n"
    "\n"
    "Samples the byte counters of the host's interfaces and writes one row per\n"
    "local hour into the traffic database, while traffic counting is switched on\n"
    "(NETFLOW_COUNT_STATUS=1 in setting.conf). Raises the overall, egress and\n"
    "ingress alarms when the traffic of the last NETFLOW_ALARM_PERIOD minutes\n"
    "exceeds their size in MiB: a line in netflow.log, a line on standard error\n"
    "and the AlarmRaised signal on the system bus; and clears them, likewise with\n"
    "AlarmCleared, when it falls back to the size or the alarm settings change.\n"
    "\n"
    "Options:\n"
    "      --interval=SECONDS     sample every SECONDS seconds, from 0.1 to 60\n"
    "                             (default 2)\n"
    "      --interfaces=NAME[,NAME]...\n"
    "                             count these interfaces instead of the physical\n"
    "                             ones (those with a device behind them)\n"
    "      --keep-days=N          delete rows older than N days once a day\n"
    "                             (default 400)\n"
    "      --max-apps=N           name at most N applications a UTC day; the\n"
    "                             traffic of any further one counts as (other)\n"
    "                             (default 10000)\n"
    "      --textfile=DIR         also write DIR/vexmora.prom once a minute, in the\n"
    "                             Prometheus text format\n"
    "      --attribution=SOURCE   how each program's traffic is counted: bpf (by\n"
    "                             programs in the kernel, as the packets pass),\n"
    "                             socket-table (from the TCP sockets' counters at\n"
    "                             each sample), or auto (default): bpf where the\n"
    "                             kernel programs load, else socket-table\n"
    "  -h, --help                 display this help and exit\n"
    "\n"
    "SIGTERM and SIGINT write the current hour and every pending count, then end\n"
    "the meter with exit status 0. One meter counts into a state directory: a\n"
    "second one exits with status 1, saying which process holds the directory's\n"
    "lock and how to stop it (also when the lock file cannot be opened). Exit\n"
    "status 2: bad usage.\n";

QString checkInterval(const QString &text, qint64 &intervalMs)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds < kMinIntervalSeconds ||
        seconds > kMaxIntervalSeconds) {
        return QStringLiteral("--interval takes seconds from 0.1 to 60, not '%1'").arg(text);
    }
    intervalMs = qint64(std::llround(seconds * 1000));
    return QString();
}

QString checkInterfaces(const QString &text, QByteArrayList &names)
{
    static const QRegularExpression valid(QStringLiteral("^[^/\\s:]{1,15}$"));
    for (const QString &name : text.split(QLatin1Char(','))) {
        if (!valid.match(name).hasMatch()) {
            return QStringLiteral("--interfaces takes interface names separated by commas, "
                                  "not '%1'")
                .arg(text);
        }
        names.append(name.toUtf8());
    }
    return QString();
}

QString checkKeepDays(const QString &text, int &days)
{
    bool ok = false;
    days = text.toInt(&ok);
    if (!ok || days < 1 || days > kMaxKeepDays) {
        return QStringLiteral("--keep-days takes a whole number of days from 1 to %1, not '%2'")
            .arg(kMaxKeepDays)
            .arg(text);
    }
    return QString();
}

QString checkMaxApps(const QString &text, int &count)
{
    bool ok = false;
    count = text.toInt(&ok);
    if (!ok || count < 1 || count > kMaxAppsLimit) {
        return QStringLiteral("--max-apps takes a whole number from 1 to %1, not '%2'")
            .arg(kMaxAppsLimit)
            .arg(text);
    }
    return QString();
}

QString checkAttribution(const QString &text, QStringList &sources)
{
    if (text == QLatin1String("auto"))
        return QString();
    if (text != QLatin1String("bpf") && text != QLatin1String("socket-table"))
        return QStringLiteral("--attribution takes auto, bpf or socket-table, not '%1'").arg(text);
    sources = QStringList{text};
    return QString();
}

QString readValues(const QCommandLineParser &parser, MeterOptions &options)
{
    QString error;
    if (parser.isSet(kInterval)) {
        error = checkInterval(parser.value(kInterval), options.intervalMs);
    }
    if (error.isEmpty() && parser.isSet(kInterfaces)) {
        error = checkInterfaces(parser.value(kInterfaces), options.interfaces);
    }
    if (error.isEmpty() && parser.isSet(kKeepDays)) {
        error = checkKeepDays(parser.value(kKeepDays), options.keepDays);
    }
    if (error.isEmpty() && parser.isSet(kMaxApps)) {
        error = checkMaxApps(parser.value(kMaxApps), options.maxAppsPerDay);
    }
    if (error.isEmpty() && parser.isSet(kTextfile)) {
        options.textfileDir = parser.value(kTextfile);
        if (options.textfileDir.isEmpty()) {
            error = QStringLiteral("--textfile takes a directory");
        }
    }
    if (error.isEmpty() && parser.isSet(kAttribution)) {
        error = checkAttribution(parser.value(kAttribution), options.attributionSources);
    }
    return error;
}

} // namespace

ParsedMeterOptions parseMeterOptions(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.addOptions({{kInterval, QString(), QStringLiteral("seconds")},
                       {kInterfaces, QString(), QStringLiteral("names")},
                       {kKeepDays, QString(), QStringLiteral("days")},
                       {kMaxApps, QString(), QStringLiteral("count")},
                       {kTextfile, QString(), QStringLiteral("dir")},
                       {kAttribution, QString(), QStringLiteral("source")},
                       {{QStringLiteral("h"), kHelp}, QString()}});
    ParsedMeterOptions parsed;
    if (!parser.parse(QStringList{QStringLiteral("vexmora-meter")} + arguments)) {
        parsed.error = parser.errorText();
    } else if (!parser.positionalArguments().isEmpty()) {
        parsed.error = QStringLiteral("unexpected argument '%1'")
                           .arg(parser.positionalArguments().constFirst());
    } else if (parser.isSet(kHelp)) {
        parsed.help = true;
    } else {
        parsed.error = readValues(parser, parsed.options);
    }
    return parsed;
}

QString meterUsage()
{
    return QString::fromLatin1(kUsage);
}

} // namespace vexmora::meter
