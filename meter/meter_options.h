#pragma once

#include <QByteArrayList>
#include <QString>
#include <QStringList>

namespace vexmora::meter {

struct MeterOptions
{
    qint64 intervalMs = 2000;
    // Empty: the physical interfaces.
    QByteArrayList interfaces;
    int keepDays = 400;
    // Distinct applications a UTC day names at most; the rest are "(other)".
    int maxAppsPerDay = 10000;
    // Empty: no Prometheus textfile.
    QString textfileDir;
    // The attribution sources to try, in this order (--attribution).
    QStringList attributionSources{QStringLiteral("bpf"), QStringLiteral("socket-table")};
};

struct ParsedMeterOptions
{
    MeterOptions options;
    bool help = false;
    // Empty when the arguments are good; otherwise what is wrong with them.
    QString error;
};

// Reads the command line (without the program name).
ParsedMeterOptions parseMeterOptions(const QStringList &arguments);
QString meterUsage();

} // namespace vexmora::meter
