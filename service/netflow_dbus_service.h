#pragma once

#include "heap_trim.h"
#include "netflow_settings.h"

#include <QObject>
#include <QString>
#include <memory>

// The object registered at /vexmora. Every slot calls exactly one operation
// with its arguments unchanged and returns the result; the adaptor generated
// from the interface XML forwards each bus method to the slot of its name.
class NetflowDBusService : public QObject
{
    Q_OBJECT

public:
    explicit NetflowDBusService(QObject *parent = nullptr);
    ~NetflowDBusService() override;

public Q_SLOTS:
    int setNetmonitorStatus(int mode);
    int getNetmonitorStatus();
    int setNetmonitorAlarmStatus(int mode);
    int getNetmonitorAlarmStatus();
    int setNetmonitorThreshold(int size, int period);
    QString getNetmonitorThreshold();
    int setEgressAlarmStatus(int mode);
    int getEgressAlarmStatus();
    int setEgressThreshold(int size, int period);
    QString getEgressThreshold();
    int setIngressAlarmStatus(int mode);
    int getIngressAlarmStatus();
    int setIngressThreshold(int size, int period);
    QString getIngressThreshold();
    QString getAllAppNetflow();
    QString getAllProcessNetflow();
    QString getRecentTop10(int day);
    QString getRecentData(int day);
    QString getReportData();

private:
    // The reply, with the heap trimmed a moment after it when it was large.
    QString trimmedAfter(QString reply);

    std::unique_ptr<NetflowSettings> settings_;
    vexmora::HeapTrim heapTrim_;
};
