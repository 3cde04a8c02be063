#include "soak_load.h"

#include "vexmora_paths.h"

#include <QJsonDocument>
#include <chrono>
#include <sqlite3.h>

namespace soak {
namespace {

enum class Reply { Zero, Switch, Threshold, Snapshot, JsonArray };

struct Call
{
    const char *method;
    QVariantList arguments;
    Reply expected;
};

// One round: every method but getReportData, whose hours belong to ReportLoop.
QList<Call> roundOfCalls(int round)
{
    const int mode = round % 2;
    const int days = QList<int>{1, 7, 30}.at(round % 3);
    return {
        {"setNetmonitorStatus", {mode}, Reply::Zero},
        {"getNetmonitorStatus", {}, Reply::Switch},
        {"setNetmonitorAlarmStatus", {mode}, Reply::Zero},
        {"getNetmonitorAlarmStatus", {}, Reply::Switch},
        {"setEgressAlarmStatus", {mode}, Reply::Zero},
        {"getEgressAlarmStatus", {}, Reply::Switch},
        {"setIngressAlarmStatus", {mode}, Reply::Zero},
        {"getIngressAlarmStatus", {}, Reply::Switch},
        {"setNetmonitorThreshold", {100 + round % 5, 60}, Reply::Zero},
        {"getNetmonitorThreshold", {}, Reply::Threshold},
        {"setEgressThreshold", {200, 60 + mode}, Reply::Zero},
        {"getEgressThreshold", {}, Reply::Threshold},
        {"setIngressThreshold", {300 + mode, 60}, Reply::Zero},
        {"getIngressThreshold", {}, Reply::Threshold},
        {"getAllAppNetflow", {}, Reply::Snapshot},
        {"getAllProcessNetflow", {}, Reply::Snapshot},
        {"getRecentTop10", {days}, Reply::JsonArray},
        {"getRecentData", {days}, Reply::JsonArray},
    };
}

bool hasExpectedKind(const QVariant &value, Reply expected)
{
    const bool isInt = value.userType() == QMetaType::Int;
    const QByteArray text = value.toString().toUtf8();
    switch (expected) {
    case Reply::Zero:
        return isInt && value.toInt() == 0;
    case Reply::Switch:
        return isInt && (value.toInt() == 0 || value.toInt() == 1);
    case Reply::Threshold:
        return QJsonDocument::fromJson(text).isObject();
    case Reply::Snapshot:
        // No snapshot files: the readers answer the empty array.
        return value.userType() == QMetaType::QString && text == "[]";
    case Reply::JsonArray:
        return QJsonDocument::fromJson(text).isArray();
    }
    return false;
}

void sleepUnlessStopped(const std::atomic<bool> &running, int milliseconds)
{
    for (int slept = 0; running && slept < milliseconds; slept += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace

ReportLoop::ReportLoop(QDBusConnection connection) : client_(std::move(connection)) {}

void ReportLoop::start()
{
    running_ = true;
    thread_ = std::thread([this] { run(); });
}

void ReportLoop::stop()
{
    running_ = false;
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ReportLoop::run()
{
    while (running_) {
        const QVariant reply = client_.answer(QStringLiteral("getReportData"));
        if (reply.userType() == QMetaType::QString) {
            replies_ << reply.toString();
        } else {
            ++failed_;
        }
    }
}

MethodRounds::MethodRounds(QDBusConnection connection) : client_(std::move(connection)) {}

void MethodRounds::start()
{
    running_ = true;
    thread_ = std::thread([this] { run(); });
}

void MethodRounds::stop()
{
    running_ = false;
    if (thread_.joinable()) {
        thread_.join();
    }
}

void MethodRounds::run()
{
    while (running_) {
        for (const Call &call : roundOfCalls(rounds_)) {
            const QVariant reply = client_.answer(QString::fromLatin1(call.method), call.arguments);
            if (!hasExpectedKind(reply, call.expected)) {
                faults_ << QString::fromLatin1(call.method) + QStringLiteral(" answered ") +
                               reply.toString();
            }
        }
        ++rounds_;
    }
}

void LockHolder::start()
{
    running_ = true;
    thread_ = std::thread([this] { run(); });
}

void LockHolder::stop()
{
    running_ = false;
    if (thread_.joinable()) {
        thread_.join();
    }
}

void LockHolder::run()
{
    sqlite3 *db = nullptr;
    sqlite3_open(vexmora::paths::kDatabaseFile, &db);
    sqlite3_busy_timeout(db, 5000);
    while (running_) {
        sleepUnlessStopped(running_, pauseMs_);
        if (sqlite3_exec(db, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr) == SQLITE_OK) {
            ++held_;
            std::this_thread::sleep_for(std::chrono::milliseconds(holdMs_));
            sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
        }
    }
    sqlite3_close(db);
}

} // namespace soak
