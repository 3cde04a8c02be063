#pragma once

#include <QString>
#include <QStringList>

namespace vexmora::ctl {

enum class Command { Help, Status, Set, Threshold, Top, Hours, Apps, Processes, Report, Watch };

// What one invocation of vexmoractl asks for, checked and converted.
struct Request
{
    Command command = Command::Help;
    // set: count|alarm|egress|ingress; threshold: overall|egress|ingress;
    // help: the command asked about, empty for the overview.
    QString target;
    int mode = 0;
    int size = 0;
    int period = 0;
    int days = 0;
    bool json = false;
    bool consume = false;
};

struct ParseResult
{
    Request request;
    // Empty when the arguments are good; otherwise one line saying what is wrong.
    QString error;
    // The command whose usage goes with the error, empty for the overview.
    QString usageTopic;
};

// Reads the arguments that follow the program name.
ParseResult parseArguments(const QStringList &arguments);

// The usage of one command, or the overview for an empty or unknown name.
QString usageText(const QString &command);

bool isCommandName(const QString &name);

} // namespace vexmora::ctl
