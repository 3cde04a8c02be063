#include "store_arguments.h"

#include "number_text.h"

#include <limits>

namespace vexmora::storecli {
namespace {

constexpr qint64 kInt32Max = std::numeric_limits<int32_t>::max();
constexpr qint64 kInt64Max = std::numeric_limits<int64_t>::max();
constexpr qint64 kMinutesPerHour = 60;

struct CommandShape
{
    const char *name;
    Operation operation;
    int operandCount;
};

constexpr CommandShape kCommands[] = {
    {"add-app", Operation::AddApp, 3},
    {"save-hour", Operation::SaveHour, 7},
    {"load-hour", Operation::LoadHour, 1},
    {"purge", Operation::Purge, 2},
};

const CommandShape *findCommand(const QByteArray &name)
{
    for (const CommandShape &shape : kCommands) {
        if (name == shape.name) {
            return &shape;
        }
    }
    return nullptr;
}

StoreParseResult failure(const QString &error, const QString &usageTopic)
{
    StoreParseResult result;
    result.error = error;
    result.usageTopic = usageTopic;
    return result;
}

// Reads one numeric operand; a failure leaves its line in error.
class NumberReader
{
public:
    explicit NumberReader(QString &error) : error_(error) {}

    template <typename Number>
    bool read(const char *name, const QByteArray &text, qint64 maximum, Number &value)
    {
        qint64 parsed = 0;
        QString problem;
        if (!tools::parseBoundedInteger(QString::fromLatin1(text), 0, maximum, parsed, problem)) {
            error_ = QLatin1String(name) + QLatin1Char(' ') + problem;
            return false;
        }
        value = Number(parsed);
        return true;
    }

private:
    QString &error_;
};

bool readHour(const QByteArray &text, StoreRequest &request, QString &error)
{
    QString problem;
    if (!tools::isHourText(QString::fromLatin1(text), problem)) {
        error = QStringLiteral("HOUR ") + problem;
        return false;
    }
    request.text = text;
    return true;
}

bool readPackage(const QByteArray &text, StoreRequest &request, QString &error)
{
    if (text.isEmpty()) {
        error = QStringLiteral("PKG must not be empty");
        return false;
    }
    // Invalid sequences turn into replacement characters and do not come back.
    if (QString::fromUtf8(text).toUtf8() != text) {
        error = QStringLiteral("PKG is not valid UTF-8");
        return false;
    }
    request.text = text;
    return true;
}

bool readOperands(const QList<QByteArray> &operands, StoreRequest &request, QString &error)
{
    NumberReader number(error);
    store::HourRecord &record = request.record;
    switch (request.operation) {
    case Operation::AddApp:
        return readPackage(operands[0], request, error) &&
               number.read("RECV", operands[1], kInt64Max, request.recv) &&
               number.read("SENT", operands[2], kInt64Max, request.sent);
    case Operation::SaveHour:
        return readHour(operands[0], request, error) &&
               number.read("MINS", operands[1], kMinutesPerHour, record.mins) &&
               number.read("RECV", operands[2], kInt64Max, record.recv) &&
               number.read("SENT", operands[3], kInt64Max, record.sent) &&
               number.read("RECV_PEAK", operands[4], kInt32Max, record.recv_peak) &&
               number.read("SENT_PEAK", operands[5], kInt32Max, record.sent_peak) &&
               number.read("TOTAL_PEAK", operands[6], kInt32Max, record.total_peak);
    case Operation::LoadHour:
        return readHour(operands[0], request, error);
    default:
        if (operands[0] != "app_data" && operands[0] != "hour_data") {
            error = QStringLiteral("TABLE must be app_data or hour_data, not ") +
                    QString::fromUtf8(operands[0]);
            return false;
        }
        request.text = operands[0];
        return number.read("DAYS", operands[1], kInt32Max, request.days);
    }
}

bool isOptionLike(const QByteArray &argument)
{
    return argument.size() > 1 && argument.startsWith('-') &&
           !(argument.at(1) >= '0' && argument.at(1) <= '9');
}

StoreParseResult helpFor(const QByteArray &topic)
{
    if (!topic.isEmpty() && findCommand(topic) == nullptr) {
        return failure(QStringLiteral("no such command: ") + QString::fromUtf8(topic), QString());
    }
    StoreParseResult result;
    result.request.text = topic;
    return result;
}

} // namespace

StoreParseResult parseStoreArguments(const QList<QByteArray> &arguments)
{
    QList<QByteArray> operands;
    bool optionsEnded = false;
    bool help = false;
    for (const QByteArray &argument : arguments) {
        if (optionsEnded || !isOptionLike(argument)) {
            operands.append(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "-h" || argument == "--help") {
            help = true;
        } else {
            return failure(QStringLiteral("unknown option: ") + QString::fromUtf8(argument),
                           QString::fromUtf8(operands.value(0)));
        }
    }
    const QByteArray name = operands.value(0);
    if (help || name == "help") {
        return helpFor(name == "help" ? operands.value(1) : name);
    }
    if (name.isEmpty()) {
        return failure(QStringLiteral("no command given"), QString());
    }
    const CommandShape *shape = findCommand(name);
    if (shape == nullptr) {
        return failure(QStringLiteral("unknown command: ") + QString::fromUtf8(name), QString());
    }
    const QString topic = QString::fromLatin1(name);
    operands.removeFirst();
    if (operands.size() != shape->operandCount) {
        return failure(topic + QStringLiteral(" takes ") + QString::number(shape->operandCount) +
                           QStringLiteral(" arguments, not ") + QString::number(operands.size()),
                       topic);
    }
    StoreParseResult result;
    result.request.operation = shape->operation;
    if (!readOperands(operands, result.request, result.error)) {
        result.usageTopic = topic;
    }
    return result;
}

} // namespace vexmora::storecli
