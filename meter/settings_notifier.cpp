#include "settings_notifier.h"

#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

namespace vexmora::meter {

SettingsNotifier::SettingsNotifier(QObject *parent) : QObject(parent) {}

SettingsNotifier::~SettingsNotifier()
{
    notifier_.reset();
    if (fd_ >= 0)
        ::close(fd_);
}

bool SettingsNotifier::watch(const QByteArray &path)
{
    const int slash = path.lastIndexOf('/');
    if (fd_ >= 0 || slash < 0)
        return false;
    name_ = path.mid(slash + 1);
    const QByteArray dir = slash == 0 ? QByteArrayLiteral("/") : path.left(slash);
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0)
        return false;
    if (inotify_add_watch(fd_, dir.constData(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &SettingsNotifier::readEvents);
    return true;
}

// The directory's other files (the database's journal, the snapshots) cause
// events too; only the watched name counts.
void SettingsNotifier::readEvents()
{
    alignas(inotify_event) char buffer[4096];
    bool named = false;
    for (;;) {
        const ssize_t length = ::read(fd_, buffer, sizeof buffer);
        if (length <= 0)
            break;
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= length;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            const char *name = buffer + at + sizeof event;
            const ssize_t nameRoom = qMin<ssize_t>(event.len, length - at - ssize_t(sizeof event));
            named =
                named || (event.len > 0 && qstrnlen(name, uint(nameRoom)) == uint(name_.size()) &&
                          std::memcmp(name, name_.constData(), size_t(name_.size())) == 0);
            at += ssize_t(sizeof event) + ssize_t(event.len);
        }
    }
    if (named)
        emit changed();
}

} // namespace vexmora::meter
