#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>

// One open of the settings file: the INI file in the state directory, UTF-8,
// group "Ostvane". Closed (and synchronised) when the object goes away.
class SettingsFile
{
public:
    SettingsFile();
    ~SettingsFile();
    SettingsFile(const SettingsFile &) = delete;
    SettingsFile &operator=(const SettingsFile &) = delete;

    // The stored value of key; a null QVariant when the key or file is absent.
    QVariant value(const QString &key) const;
    // The stored value of key as text, "0" when the key or file is absent.
    QString text(const QString &key) const;

    // Stores value under key as a string and flushes the file. Answers false,
    // with a warning naming the key and the cause, when it did not reach the file.
    bool write(const QString &key, const QString &value);

private:
    QSettings settings_;
};
