#include "command_help.h"
#include "ctl_arguments.h"

namespace vexmora::ctl {
namespace {

constexpr CommandHelp kHelp[] = {
    {"status", "status [--json]",
     "Shows the four switches (count, alarm, egress, ingress) and the three alarm\n"
     "thresholds (overall, egress, ingress) as one table. The three thresholds share\n"
     "one period. With --json prints one object that combines the seven replies.\n"},
    {"set", "set count|alarm|egress|ingress on|off",
     "Switches traffic counting, or the overall, egress or ingress alarm, on or off.\n"
     "Setting a switch to the value it has already succeeds and changes nothing.\n"},
    {"threshold", "threshold overall|egress|ingress SIZE PERIOD",
     "Sets the size of one alarm threshold, in MiB, and the period that all three\n"
     "share, in minutes. The meter raises an alarm when the traffic of the last\n"
     "PERIOD minutes exceeds SIZE MiB: received + sent for overall, sent for\n"
     "egress, received for ingress. The service refuses negative values (exit\n"
     "status 1).\n"},
    {"top", "top [DAYS] [--json]",
     "The ten applications with the most traffic over the DAYS days before today\n"
     "(default 7; today is never counted), in GiB sent (up), received (down) and in all.\n"},
    {"hours", "hours [DAYS] [--json]",
     "The hourly traffic from the start of the day DAYS days ago (default 1) up to\n"
     "the last completed hour, and the hour the meter is counting now, as a table\n"
     "and as a bar chart of each hour's upload and download. The chart fills the\n"
     "terminal width, or $COLUMNS when set. --json prints the service's reply,\n"
     "which holds the completed hours only.\n"},
    {"apps", "apps [--json]",
     "The current per-application traffic snapshot, as a table when it is a list\n"
     "of objects and as indented JSON otherwise.\n"},
    {"processes", "processes [--json]",
     "The current per-process traffic snapshot, shown like apps.\n"},
    {"report", "report --consume [--json]",
     "The combined report: every completed hour not reported before, and the top ten\n"
     "of the last 7 and 30 days. The service hands each hour out once and marks it\n"
     "reported, so a second report leaves those hours out; it is meant for the one\n"
     "agent that forwards reports. Without --consume nothing is called.\n"},
    {"watch", "watch",
     "Prints the meter's traffic alarms raised now, with the time each was raised,\n"
     "then each alarm as it is raised and as it is cleared (its traffic is back to\n"
     "the size or below, or the alarm settings changed), until interrupted.\n"},
    {"help", "help [COMMAND]", "Shows the overview, or the usage of one command.\n"},
};

constexpr char kOverview[] =
    "Usage: vexmoractl COMMAND [ARGUMENTS] [--json]\n"
    "\n"
    "Reads and changes the settings of the vexmora traffic service and shows its\n"
    "traffic reports. Commands:\n"
    "  status                                 switches and alarm thresholds\n"
    "  set count|alarm|egress|ingress on|off  switch counting or an alarm\n"
    "  threshold overall|egress|ingress SIZE PERIOD\n"
    "                                         set an alarm threshold\n"
    "  top [DAYS]                             top ten applications (default 7 days)\n"
    "  hours [DAYS]                           hourly traffic and chart (default 1 day)\n"
    "  apps, processes                        the current traffic snapshots\n"
    "  report --consume                       the combined report; marks its hours\n"
    "  watch                                  the meter's alarms, raised and cleared\n"
    "  help [COMMAND]                         usage of one command\n";

constexpr char kCommonNotes[] =
    "\n"
    "Options:\n"
    "  --json      print the service's reply unchanged (reading commands); a\n"
    "              line feed follows it only on a terminal\n"
    "  -h, --help  show this help\n"
    "\n"
    "The service is reached on the system bus, or at $DBUS_SYSTEM_BUS_ADDRESS.\n"
    "Exit status: 0 done; 1 the service refused the value; 2 bad usage;\n"
    "3 the service is unreachable or access was denied.\n";

} // namespace

QString usageText(const QString &command)
{
    const QString usage = commandUsage("vexmoractl", kHelp, command, kCommonNotes);
    if (!usage.isNull()) {
        return usage;
    }
    return QLatin1String(kOverview) + QLatin1String(kCommonNotes);
}

} // namespace vexmora::ctl
