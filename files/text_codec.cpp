#include "text_codec.h"

namespace vexmora::files {

QTextCodec *utf8Codec()
{
    static QTextCodec *const codec = QTextCodec::codecForName("UTF-8");
    return codec;
}

} // namespace vexmora::files
