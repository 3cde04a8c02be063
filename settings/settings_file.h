#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>

// One use of the settings file: the INI file in the state directory, UTF-8,
// group "Ostvane". Each thread keeps its QSettings open between uses, and
// every SettingsFile first brings it up to what the file holds at that
// moment, so outside edits are seen by the next call as before.
class SettingsFile
{
public:
    SettingsFile();
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
    QSettings &settings() const;
};
