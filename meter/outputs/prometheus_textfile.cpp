#include "prometheus_textfile.h"

#include "atomic_file.h"

#include <QDir>

namespace vexmora::meter {
namespace {

QByteArray labelValue(const QString &text)
{
    QByteArray escaped;
    for (const char c : text.toUtf8()) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

void family(QByteArray &out, const char *name, const char *type, const char *help)
{
    out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

void sample(QByteArray &out, const char *name, const QByteArray &labels, quint64 value)
{
    out += name;
    if (!labels.isEmpty()) {
        out += '{' + labels + '}';
    }
    out += ' ' + QByteArray::number(value) + '\n';
}

QByteArray direction(const char *value)
{
    return QByteArray("direction=\"") + value + '"';
}

} // namespace

QByteArray prometheusText(const MeterStatus &status)
{
    QByteArray out;
    family(out, "vexmora_host_bytes_total", "counter",
           "Bytes the counted interfaces received and sent since the meter started.");
    sample(out, "vexmora_host_bytes_total", direction("recv"), status.hostBytes.recv);
    sample(out, "vexmora_host_bytes_total", direction("sent"), status.hostBytes.sent);
    family(out, "vexmora_counting", "gauge", "1 while traffic counting is switched on.");
    sample(out, "vexmora_counting", QByteArray(), status.counting ? 1 : 0);
    family(out, "vexmora_alarm_raised", "gauge",
           "1 while the alarm's window is over its size, once raised.");
    for (AlarmKind kind : kAlarmKinds) {
        sample(out, "vexmora_alarm_raised", "kind=\"" + alarmKindName(kind).toUtf8() + '"',
               status.alarmRaised[size_t(kind)] ? 1 : 0);
    }
    family(out, "vexmora_lost_close_reports_total", "counter",
           "Times the kernel dropped reports of closed sockets, whose last bytes then count as "
           "unattributed.");
    sample(out, "vexmora_lost_close_reports_total", QByteArray(), status.lostCloseReports);
    family(out, "vexmora_uncounted_packets_total", "counter",
           "Packets the kernel programs had no room to count; their bytes count as "
           "unattributed.");
    sample(out, "vexmora_uncounted_packets_total", QByteArray(), status.uncountedPackets);
    family(out, "vexmora_stale_entries_total", "counter",
           "Sockets whose end the kernel programs missed, found gone and finished by the "
           "meter's sweep once a minute.");
    sample(out, "vexmora_stale_entries_total", QByteArray(), status.staleEntries);
    if (!status.attributionSource.isEmpty()) {
        family(out, "vexmora_attribution_source", "gauge",
               "1 for the source of the per-socket counts that attributes the traffic.");
        sample(out, "vexmora_attribution_source",
               "source=\"" + labelValue(status.attributionSource) + '"', 1);
    }
    if (!status.appsToday.empty()) {
        family(out, "vexmora_app_bytes_today", "gauge",
               "Bytes of the busiest applications on the current UTC day.");
    }
    for (const AppBytes &app : status.appsToday) {
        const QByteArray appLabel = "app=\"" + labelValue(app.app) + "\",";
        sample(out, "vexmora_app_bytes_today", appLabel + direction("recv"), app.bytes.recv);
        sample(out, "vexmora_app_bytes_today", appLabel + direction("sent"), app.bytes.sent);
    }
    return out;
}

bool writePrometheusTextfile(const QString &dir, const MeterStatus &status)
{
    return replaceFileAtomically(QDir(dir).filePath(QStringLiteral("vexmora.prom")),
                                 prometheusText(status));
}

} // namespace vexmora::meter
