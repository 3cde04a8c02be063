#pragma once

#include <QTextCodec>

namespace vexmora::files {

// Qt's UTF-8 codec, looked up once: a lookup by name costs more than a read
// of the settings file.
QTextCodec *utf8Codec();

} // namespace vexmora::files
