#include "heap_trim.h"

#include <malloc.h>

namespace vexmora {

HeapTrim::HeapTrim(QObject *parent) : QObject(parent)
{
    timer_.setSingleShot(true);
    timer_.setInterval(kDelayMs);
    connect(&timer_, &QTimer::timeout, this, &HeapTrim::trim);
}

void HeapTrim::afterReply(const QString &reply)
{
    if (reply.size() >= kLargeReplyChars) {
        timer_.start();
    }
}

void HeapTrim::trim()
{
    malloc_trim(0);
}

} // namespace vexmora
