#include "cgroup_mount.h"

#include <QFile>
#include <QList>

namespace vexmora::meter {

namespace {

// mountinfo writes space, tab, newline and backslash in paths as \ooo.
QByteArray unescapeOctal(const QByteArray &field)
{
    QByteArray result;
    result.reserve(field.size());
    for (int i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int code = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok && code < 256) {
                result.append(char(code));
                i += 3;
                continue;
            }
        }
        result.append(field[i]);
    }
    return result;
}

} // namespace

QString cgroupV2MountPoint(const QByteArray &mountinfo)
{
    // ID PARENT MAJOR:MINOR ROOT MOUNT-POINT OPTIONS [TAGS...] - TYPE SOURCE SUPER-OPTIONS
    for (const QByteArray &line : mountinfo.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        const int separator = fields.indexOf("-");
        if (separator < 5 || separator + 1 >= fields.size() || fields[separator + 1] != "cgroup2")
            continue;
        return QFile::decodeName(unescapeOctal(fields[4]));
    }
    return {};
}

} // namespace vexmora::meter
