#include "process_memory.h"

#include <QFile>
#include <utility>

namespace bench {

Resident residentKiB(qint64 pid)
{
    Resident resident;
    const std::pair<const char *, qint64 *> fields[] = {{"VmRSS:", &resident.total},
                                                        {"RssAnon:", &resident.anonymous},
                                                        {"RssFile:", &resident.fileBacked},
                                                        {"Pss:", &resident.proportional}};
    for (const char *file : {"status", "smaps_rollup"}) {
        QFile status(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(file)));
        if (!status.open(QIODevice::ReadOnly)) {
            continue;
        }
        for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
            for (const auto &[name, value] : fields) {
                if (line.startsWith(name)) {
                    *value = line.mid(static_cast<int>(qstrlen(name)))
                                 .simplified()
                                 .split(' ')
                                 .constFirst()
                                 .toLongLong();
                }
            }
        }
    }
    return resident;
}

} // namespace bench
