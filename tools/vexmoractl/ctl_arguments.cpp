#include "ctl_arguments.h"

#include "number_text.h"

#include <QRegularExpression>
#include <limits>

namespace vexmora::ctl {
namespace {

struct CommandName
{
    const char *name;
    Command command;
    bool reads;
};

constexpr CommandName kCommands[] = {
    {"help", Command::Help, false},    {"status", Command::Status, true},
    {"set", Command::Set, false},      {"threshold", Command::Threshold, false},
    {"top", Command::Top, true},       {"hours", Command::Hours, true},
    {"apps", Command::Apps, true},     {"processes", Command::Processes, true},
    {"report", Command::Report, true}, {"watch", Command::Watch, false},
};

const CommandName *findCommand(const QString &name)
{
    for (const CommandName &entry : kCommands) {
        if (name == QLatin1String(entry.name)) {
            return &entry;
        }
    }
    return nullptr;
}

// The arguments with the options taken out. A negative number stays an
// operand, so that `threshold overall -1 10` reaches the service.
struct SplitArguments
{
    QStringList operands;
    bool json = false;
    bool consume = false;
    bool help = false;
    QString unknownOption;
};

bool isOptionLike(const QString &argument)
{
    static const QRegularExpression negativeNumber(QStringLiteral("^-[0-9]+$"));
    return argument.size() > 1 && argument.startsWith(QLatin1Char('-')) &&
           !negativeNumber.match(argument).hasMatch();
}

SplitArguments splitOptions(const QStringList &arguments)
{
    SplitArguments split;
    bool optionsEnded = false;
    for (const QString &argument : arguments) {
        if (optionsEnded || !isOptionLike(argument)) {
            split.operands.append(argument);
        } else if (argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if (argument == QLatin1String("--json")) {
            split.json = true;
        } else if (argument == QLatin1String("--consume")) {
            split.consume = true;
        } else if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            split.help = true;
        } else if (split.unknownOption.isEmpty()) {
            split.unknownOption = argument;
        }
    }
    return split;
}

ParseResult failure(const QString &error, const QString &usageTopic)
{
    ParseResult result;
    result.error = error;
    result.usageTopic = usageTopic;
    return result;
}

bool readInt(const QString &what, const QString &text, qint64 minimum, int &value, QString &error)
{
    qint64 parsed = 0;
    QString problem;
    if (!tools::parseBoundedInteger(text, minimum, std::numeric_limits<int>::max(), parsed,
                                    problem)) {
        error = what + QLatin1Char(' ') + problem;
        return false;
    }
    value = int(parsed);
    return true;
}

QString readSwitch(const QStringList &operands, Request &request)
{
    if (operands.size() != 2) {
        return QStringLiteral("set takes a switch and on or off");
    }
    static const QStringList switches = {QStringLiteral("count"), QStringLiteral("alarm"),
                                         QStringLiteral("egress"), QStringLiteral("ingress")};
    if (!switches.contains(operands[0])) {
        return QStringLiteral("no such switch: ") + operands[0];
    }
    if (operands[1] != QLatin1String("on") && operands[1] != QLatin1String("off")) {
        return QStringLiteral("a switch is set on or off, not ") + operands[1];
    }
    request.target = operands[0];
    request.mode = operands[1] == QLatin1String("on") ? 1 : 0;
    return QString();
}

QString readThreshold(const QStringList &operands, Request &request)
{
    if (operands.size() != 3) {
        return QStringLiteral("threshold takes a threshold name, a SIZE and a PERIOD");
    }
    static const QStringList thresholds = {QStringLiteral("overall"), QStringLiteral("egress"),
                                           QStringLiteral("ingress")};
    if (!thresholds.contains(operands[0])) {
        return QStringLiteral("no such threshold: ") + operands[0];
    }
    request.target = operands[0];
    // Negative values pass: refusing them is the service's answer to give.
    const qint64 intMinimum = std::numeric_limits<int>::min();
    QString error;
    if (!readInt(QStringLiteral("SIZE"), operands[1], intMinimum, request.size, error) ||
        !readInt(QStringLiteral("PERIOD"), operands[2], intMinimum, request.period, error)) {
        return error;
    }
    return QString();
}

QString readDays(const QString &command, const QStringList &operands, int defaultDays,
                 Request &request)
{
    if (operands.size() > 1) {
        return command + QStringLiteral(" takes at most one argument, DAYS");
    }
    request.days = defaultDays;
    QString error;
    if (!operands.isEmpty() &&
        !readInt(QStringLiteral("DAYS"), operands[0], 0, request.days, error)) {
        return error;
    }
    return QString();
}

QString readOperands(const QString &command, const QStringList &operands, Request &request)
{
    switch (request.command) {
    case Command::Set:
        return readSwitch(operands, request);
    case Command::Threshold:
        return readThreshold(operands, request);
    case Command::Top:
        return readDays(command, operands, 7, request);
    case Command::Hours:
        return readDays(command, operands, 1, request);
    default:
        return operands.isEmpty() ? QString() : command + QStringLiteral(" takes no arguments");
    }
}

QString checkOptions(const CommandName &entry, const SplitArguments &split)
{
    if (split.json && !entry.reads) {
        return QStringLiteral("--json goes with the reading commands only");
    }
    if (split.consume && entry.command != Command::Report) {
        return QStringLiteral("--consume goes with report only");
    }
    if (entry.command == Command::Report && !split.consume) {
        return QStringLiteral("report marks every hour it hands out as reported, so that no "
                              "later report carries it again; add --consume to fetch it");
    }
    return QString();
}

ParseResult helpRequest(const QString &topic)
{
    if (!topic.isEmpty() && !isCommandName(topic)) {
        return failure(QStringLiteral("no such command: ") + topic, QString());
    }
    ParseResult result;
    result.request.command = Command::Help;
    result.request.target = topic;
    return result;
}

} // namespace

bool isCommandName(const QString &name)
{
    return findCommand(name) != nullptr;
}

ParseResult parseArguments(const QStringList &arguments)
{
    const SplitArguments split = splitOptions(arguments);
    const QString name = split.operands.value(0);
    const QString topic = isCommandName(name) ? name : QString();
    if (!split.unknownOption.isEmpty()) {
        return failure(QStringLiteral("unknown option: ") + split.unknownOption, topic);
    }
    if (split.help || name == QLatin1String("help")) {
        const QString asked = name == QLatin1String("help") ? split.operands.value(1) : QString();
        return helpRequest(!asked.isEmpty() ? asked : split.help ? name : QString());
    }
    if (name.isEmpty()) {
        return failure(QStringLiteral("no command given"), QString());
    }
    const CommandName *entry = findCommand(name);
    if (entry == nullptr) {
        return failure(QStringLiteral("unknown command: ") + name, QString());
    }
    ParseResult result;
    result.request.command = entry->command;
    result.request.json = split.json;
    result.request.consume = split.consume;
    QString error = checkOptions(*entry, split);
    if (error.isEmpty()) {
        error = readOperands(name, split.operands.mid(1), result.request);
    }
    if (!error.isEmpty()) {
        return failure(error, name);
    }
    return result;
}

} // namespace vexmora::ctl
