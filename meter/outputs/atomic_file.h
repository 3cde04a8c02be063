#pragma once

#include <QByteArray>
#include <QString>

namespace vexmora::meter {

// Replaces the file at path atomically (a temporary file beside it, then a
// rename), readable by everyone; false, with a warning, when it cannot.
bool replaceFileAtomically(const QString &path, const QByteArray &content);

} // namespace vexmora::meter
