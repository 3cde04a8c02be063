#pragma once

#include <QString>
#include <QtGlobal>

// The monitor's switches and alarm thresholds, kept in the INI settings file,
// together with the snapshot readers and the log writer, whose file access
// lives in the files library. The class holds no data: every operation reads
// its file as it is at that moment.
class NetflowSettings
{
public:
    // Switches: getters answer the stored value (0 when absent); setters
    // accept 0 or 1 and answer 0, or -1 for a bad mode or a failed write.
    int getCountStatus();
    int setCountStatus(int mode);
    int getAlarmStatus();
    int setAlarmStatus(int mode);
    int getEgressAlarmStatus();
    int setEgressAlarmStatus(int mode);
    int getIngressAlarmStatus();
    int setIngressAlarmStatus(int mode);

    // Thresholds: getters answer {"period":P,"size":S}; setters refuse
    // negative values and failed writes with -1.
    QString getAlarmThreshold();
    int setAlarmThreshold(int size, int period);
    QString getEgressThreshold();
    int setEgressThreshold(int size, int period);
    QString getIngressThreshold();
    int setIngressThreshold(int size, int period);
    // Seconds since the epoch of the last effective change of an alarm switch
    // or threshold; 0 when never stamped.
    quint32 getAlarmTimestamp();

    // Snapshots: the file's text unchanged, or "[]" when it cannot be served.
    QString readAppInfo();
    QString readProcessInfo();

    // Appends "[hh:mm:ss:zzz]  message" to the log file when level is at or
    // below the LogLevel setting; answers 1 when written, 0 when dropped.
    int writeLog(int level, const char *format, ...) Q_ATTRIBUTE_FORMAT_PRINTF(3, 4);

private:
    // Answers the value text of key, or "0" when the key or the file is absent.
    QString readValue(const QString &key);
    // Answers 0 when the value reached the file, -1 (with a warning) when not.
    int writeValue(const QString &key, const QString &value);

    int readSwitch(const QString &key);
    int setSwitch(const QString &key, int mode);
    int setAlarmSwitch(const QString &key, int mode);
    int writeAlarmTimestamp();
    QString readThreshold(const QString &sizeKey);
    int setThreshold(const QString &sizeKey, int size, int period);
};
