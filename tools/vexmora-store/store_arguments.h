#pragma once

#include "traffic_store.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace vexmora::storecli {

enum class Operation { Help, AddApp, SaveHour, LoadHour, Purge };

// One checked invocation of vexmora-store, ready for the store's functions.
struct StoreRequest
{
    Operation operation = Operation::Help;
    // add-app: the package name; save-hour, load-hour: the hour text;
    // purge: the table; help: the command asked about.
    QByteArray text;
    qint64 recv = 0;
    qint64 sent = 0;
    store::HourRecord record{};
    int days = 0;
};

struct StoreParseResult
{
    StoreRequest request;
    // Empty when the arguments are good; otherwise one line saying what is wrong.
    QString error;
    QString usageTopic;
};

// Reads the arguments that follow the program name, as the bytes they came
// in: a package name is stored exactly as given, once checked to be UTF-8.
StoreParseResult parseStoreArguments(const QList<QByteArray> &arguments);

// The usage of one command, or the overview for an empty or unknown name.
QString storeUsageText(const QString &command);

} // namespace vexmora::storecli
