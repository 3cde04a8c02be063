#pragma once

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace vexmora::meter {

// Tells when a file is written or replaced (by a rename over it, as the
// service and editors do), through inotify on its directory: a meter that
// samples seldom while nothing moves still follows its settings at once.
class SettingsNotifier : public QObject
{
    Q_OBJECT

public:
    explicit SettingsNotifier(QObject *parent = nullptr);
    ~SettingsNotifier() override;

    // False when the directory cannot be watched; then nothing is signalled.
    bool watch(const QByteArray &path);

signals:
    void changed();

private:
    void readEvents();

    int fd_ = -1;
    QByteArray name_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace vexmora::meter
