#include "settings_file.h"

#include "text_codec.h"
#include "vexmora_paths.h"

#include <QDebug>

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

} // namespace

SettingsFile::SettingsFile()
    : settings_(QString::fromUtf8(vexmora::paths::kSettingsFile), QSettings::IniFormat)
{
    settings_.setIniCodec(vexmora::files::utf8Codec());
    settings_.beginGroup(kGroup);
}

SettingsFile::~SettingsFile()
{
    settings_.endGroup();
}

QVariant SettingsFile::value(const QString &key) const
{
    return settings_.value(key, QVariant());
}

QString SettingsFile::text(const QString &key) const
{
    const QVariant stored = value(key);
    return stored.isNull() ? QStringLiteral("0") : stored.toString();
}

bool SettingsFile::write(const QString &key, const QString &value)
{
    const QVariant previous = settings_.value(key);
    settings_.setValue(key, value);
    settings_.sync();
    if (settings_.status() == QSettings::NoError) {
        return true;
    }
    qWarning().noquote() << "Failed to write setting" << key << "to" << settings_.fileName() << "-"
                         << describe(settings_.status());
    // Qt keeps the unwritten change in its per-process cache of the file and
    // would hand it to every later reader; put back what the file still holds.
    if (previous.isNull()) {
        settings_.remove(key);
    } else {
        settings_.setValue(key, previous);
    }
    return false;
}
