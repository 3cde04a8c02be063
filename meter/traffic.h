#pragma once

#include <QtGlobal>

namespace vexmora::meter {

// Bytes received and sent.
struct Traffic
{
    quint64 recv = 0;
    quint64 sent = 0;

    Traffic &operator+=(const Traffic &other)
    {
        recv += other.recv;
        sent += other.sent;
        return *this;
    }
    quint64 total() const { return recv + sent; }
    bool isZero() const { return recv == 0 && sent == 0; }
};

} // namespace vexmora::meter
