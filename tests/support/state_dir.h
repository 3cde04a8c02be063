#pragma once

#include <QString>

namespace testsupport {

// The scratch state directory the build was configured with.
QString stateDir();
QString statePath(const QString &fileName);
// Empties the state directory, creating it when missing.
void resetStateDir();
// Replaces the content of a file in the state directory.
void writeStateFile(const QString &fileName, const QByteArray &content);
QByteArray readStateFile(const QString &fileName);

} // namespace testsupport
