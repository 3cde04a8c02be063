#pragma once

#include <QString>
#include <cstddef>

namespace vexmora {

// The help of one command of a command-line tool.
struct CommandHelp
{
    const char *name;
    const char *synopsis;
    const char *details;
};

// "Usage: PROGRAM SYNOPSIS", the details and the notes of the command named
// in the table; a null string when the table has no such command.
template <std::size_t N>
QString commandUsage(const char *program, const CommandHelp (&table)[N], const QString &command,
                     const char *notes)
{
    for (const CommandHelp &help : table) {
        if (command == QLatin1String(help.name)) {
            return QStringLiteral("Usage: ") + QLatin1String(program) + QLatin1Char(' ') +
                   QLatin1String(help.synopsis) + QStringLiteral("\n\n") +
                   QLatin1String(help.details) + QLatin1String(notes);
        }
    }
    return QString();
}

} // namespace vexmora
