#include "atomic_file.h"

#include <QDebug>
#include <QSaveFile>

namespace vexmora::meter {

bool replaceFileAtomically(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                             QFileDevice::ReadGroup | QFileDevice::ReadOther) ||
        !file.commit()) {
        qWarning().noquote() << "Cannot write" << path << "-" << file.errorString();
        return false;
    }
    return true;
}

} // namespace vexmora::meter
