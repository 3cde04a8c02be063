#include "settings_file.h"

#include "file_state.h"
#include "text_codec.h"
#include "vexmora_paths.h"

#include <QDebug>
#include <memory>

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
        const vexmora::FileState state = vexmora::FileState::of(vexmora::paths::kSettingsFile);
        if (!settings_ || settings_->status() != QSettings::NoError) {
            create();
        } else if (state != seen_) {
            settings_->sync();
        }
        seen_ = state;
        return *settings_;
    }

    // The QSettings that current() last brought up to date.
    QSettings &open() const { return *settings_; }

    // Drops the QSettings (which flushes what it still holds) for a new one.
    void reopen()
    {
        settings_.reset();
        current();
    }

private:
    void create()
    {
        settings_.reset();
        settings_ = std::make_unique<QSettings>(QString::fromUtf8(vexmora::paths::kSettingsFile),
                                                QSettings::IniFormat);
        settings_->setIniCodec(vexmora::files::utf8Codec());
        settings_->beginGroup(kGroup);
    }

    std::unique_ptr<QSettings> settings_;
    vexmora::FileState seen_;
};

thread_local OpenSettings openSettings;

} // namespace

// Every use goes through the thread's current QSettings, which a failed
// write or a read error may have replaced since this object was made.
SettingsFile::SettingsFile()
{
    openSettings.current();
}

QSettings &SettingsFile::settings() const
{
    return openSettings.open();
}

QVariant SettingsFile::value(const QString &key) const
{
    return settings().value(key, QVariant());
}

QString SettingsFile::text(const QString &key) const
{
    const QVariant stored = value(key);
    return stored.isNull() ? QStringLiteral("0") : stored.toString();
}

bool SettingsFile::write(const QString &key, const QString &value)
{
    const QVariant previous = settings().value(key);
    settings().setValue(key, value);
    settings().sync();
    if (settings().status() == QSettings::NoError) {
        return true;
    }
    qWarning().noquote() << "Failed to write setting" << key << "to" << settings().fileName() << "-"
                         << describe(settings().status());
    // Qt keeps the unwritten change in its per-process cache of the file and
    // would hand it to every later reader; put back what the file still holds
    // and let the failed QSettings go, flushing that, as a closed one did.
    if (previous.isNull()) {
        settings().remove(key);
    } else {
        settings().setValue(key, previous);
    }
    openSettings.reopen();
    return false;
}
