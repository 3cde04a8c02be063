#include "command_help.h"
#include "store_arguments.h"
#include "vexmora_paths.h"

namespace vexmora::storecli {
namespace {

constexpr CommandHelp kHelp[] = {
    {"add-app", "add-app PKG RECV SENT",
     "Adds RECV bytes received and SENT bytes sent to the application's row of the\n"
     "current UTC day, creating the row (and the table) when missing. The counts are\n"
     "increments since the previous call, 0 to 9223372036854775807.\n"},
    {"save-hour", "save-hour HOUR MINS RECV SENT RECV_PEAK SENT_PEAK TOTAL_PEAK",
     "Writes the host's row of one hour, replacing what it held, and marks it not yet\n"
     "reported. HOUR is a local hour, \"YYYY-MM-DD HH:00\"; MINS the minutes the counts\n"
     "cover, 0 to 60; RECV and SENT the hour's running byte totals; the peaks 0 to\n"
     "2147483647, in the unit of the measuring side.\n"},
    {"load-hour", "load-hour HOUR",
     "Prints the row of one hour as lines of name and value, or says that there is\n"
     "none (exit status 0 in both cases).\n"},
    {"purge", "purge app_data|hour_data DAYS",
     "Deletes old rows: from app_data the days up to DAYS days ago, from hour_data the\n"
     "hours of days before that. Failures are reported on standard error only.\n"},
};

constexpr char kOverviewCommands[] =
    "through the store's write interface. Commands:\n"
    "  add-app PKG RECV SENT          add one application's traffic of today\n"
    "  save-hour HOUR MINS RECV SENT RECV_PEAK SENT_PEAK TOTAL_PEAK\n"
    "                                 write one hour of the whole host\n"
    "  load-hour HOUR                 print one hour's row\n"
    "  purge app_data|hour_data DAYS  delete old rows\n"
    "  help [COMMAND]                 usage of one command\n";

constexpr char kCommonNotes[] =
    "\n"
    "Numbers are plain decimal digits. Bad numbers and hour texts are refused before\n"
    "anything is written.\n"
    "Exit status: 0 done; 1 the store failed (its message is on standard error);\n"
    "2 bad usage.\n";

} // namespace

QString storeUsageText(const QString &command)
{
    const QString usage = commandUsage("vexmora-store", kHelp, command, kCommonNotes);
    if (!usage.isNull()) {
        return usage;
    }
    return QStringLiteral("Usage: vexmora-store COMMAND ARGUMENTS\n\nFeeds the traffic database ") +
           QString::fromUtf8(vexmora::paths::kDatabaseFile) + QLatin1Char('\n') +
           QLatin1String(kOverviewCommands) + QLatin1String(kCommonNotes);
}

} // namespace vexmora::storecli
