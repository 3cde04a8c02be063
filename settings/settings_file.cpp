#include "settings_file.h"

#include "text_codec.h"
#include "vexmora_paths.h"

#include <QDebug>
#include <memory>
#include <sys/stat.h>

namespace {

const QString kGroup = QStringLiteral("Ostvane");

QString describe(QSettings::Status status)
{
    switch (status) {
    case QSettings::AccessError:
        return QStringLiteral("the file could not be written (read-only file or directory, "
                              "or no space left)");
    case QSettings::FormatError:
        return QStringLiteral("the file is not valid INI text");
    case QSettings::NoError:
        break;
    }
    return QStringLiteral("unknown error");
}

// What identifies one state of the file: a write, a replacement or a removal
// changes at least one of these.
struct FileState
{
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified = {};
    timespec changed = {};

    static FileState of(const char *path)
    {
        struct stat status
        {
        };
        if (::stat(path, &status) != 0) {
            return {};
        }
        return {true, status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
    }

    bool operator==(const FileState &other) const
    {
        return exists == other.exists && device == other.device && inode == other.inode &&
               size == other.size && modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
    bool operator!=(const FileState &other) const { return !(*this == other); }
};

// The QSettings of one thread, kept open: constructing one per call cost more
// than the rest of a getter, mostly in Qt's check of the file's time. Qt
// re-reads the file in sync() when its size or time changed; sync() is only
// called when stat() shows a new state of the file, taken before the sync so
// that a change during it is seen next time. A QSettings whose status shows
// an error is replaced, so every use starts without one, as a new object did.
class OpenSettings
{
public:
    QSettings &current()
    {
        const FileState state = FileState::of(vexmora::paths::kSettingsFile);
        if (!settings_ || settings_->status() != QSettings::NoError) {
            open();
        } else if (state != seen_) {
            settings_->sync();
        }
        seen_ = state;
        return *settings_;
    }

    // Drops the QSettings (which flushes what it still holds) for a new one.
    QSettings &reopen()
    {
        settings_.reset();
        return current();
    }

private:
    void open()
    {
        settings_.reset();
        settings_ = std::make_unique<QSettings>(QString::fromUtf8(vexmora::paths::kSettingsFile),
                                                QSettings::IniFormat);
        settings_->setIniCodec(vexmora::files::utf8Codec());
        settings_->beginGroup(kGroup);
    }

    std::unique_ptr<QSettings> settings_;
    FileState seen_;
};

thread_local OpenSettings openSettings;

} // namespace

SettingsFile::SettingsFile() : settings_(&openSettings.current()) {}

QVariant SettingsFile::value(const QString &key) const
{
    return settings_->value(key, QVariant());
}

QString SettingsFile::text(const QString &key) const
{
    const QVariant stored = value(key);
    return stored.isNull() ? QStringLiteral("0") : stored.toString();
}

bool SettingsFile::write(const QString &key, const QString &value)
{
    const QVariant previous = settings_->value(key);
    settings_->setValue(key, value);
    settings_->sync();
    if (settings_->status() == QSettings::NoError) {
        return true;
    }
    qWarning().noquote() << "Failed to write setting" << key << "to" << settings_->fileName() << "-"
                         << describe(settings_->status());
    // Qt keeps the unwritten change in its per-process cache of the file and
    // would hand it to every later reader; put back what the file still holds
    // and let the failed QSettings go, flushing that, as a closed one did.
    if (previous.isNull()) {
        settings_->remove(key);
    } else {
        settings_->setValue(key, previous);
    }
    settings_ = &openSettings.reopen();
    return false;
}
