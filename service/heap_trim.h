#pragma once

#include <QObject>
#include <QTimer>

namespace vexmora {

// Hands the heap that a large reply leaves behind back to the system. glibc
// keeps freed memory for reuse, and after a reply of a megabyte it raises
// its own thresholds so far that the service would hold several megabytes
// while idle. A trim costs more than a small call, so it runs only a moment
// after a large reply has gone out, once for a burst of them.
class HeapTrim : public QObject
{
    Q_OBJECT

public:
    // Replies of at least this many characters are followed by a trim.
    static constexpr int kLargeReplyChars = 256 * 1024;
    // The reply is written to the bus after the slot returns; trim after that.
    static constexpr int kDelayMs = 200;

    explicit HeapTrim(QObject *parent = nullptr);

    // Called with each report's reply text before it is returned.
    void afterReply(const QString &reply);

private Q_SLOTS:
    void trim();

private:
    QTimer timer_;
};

} // namespace vexmora
