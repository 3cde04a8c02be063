#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace vexmora::meter {

// SIGTERM and SIGINT as an event of the main loop, through a signalfd. Call
// blockStopSignals() first thing in main, before Qt starts any thread, so that
// no thread takes them the default way.
void blockStopSignals();

class StopSignals : public QObject
{
    Q_OBJECT

public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

Q_SIGNALS:
    void received(int signalNumber);

private:
    void readSignal();

    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace vexmora::meter
