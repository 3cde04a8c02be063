// vexmoractl: the administrator's client of the vexmora traffic service.
#include "ctl_arguments.h"
#include "ctl_commands.h"

#include <QCoreApplication>

using namespace vexmora::ctl;

int main(int argc, char *argv[])
{
    // Qt's bus connections expect an application object to exist.
    QCoreApplication app(argc, argv);
    const ParseResult parsed = parseArguments(QCoreApplication::arguments().mid(1));
    if (!parsed.error.isEmpty()) {
        writeError(QStringLiteral("vexmoractl: ") + parsed.error + QStringLiteral("\n\n") +
                   usageText(parsed.usageTopic));
        return kBadUsage;
    }
    if (parsed.request.command == Command::Help) {
        writeOut(usageText(parsed.request.target));
        return kDone;
    }
    return runRequest(parsed.request);
}
