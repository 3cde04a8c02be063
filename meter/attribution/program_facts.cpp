#include "program_facts.h"

#include "name_text.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <vector>

namespace vexmora::meter {

namespace {

// How an interpreter's command line names what it runs.
struct InterpreterFamily
{
    QRegularExpression executable; // matched against the executable's file name
    QStringList inlineCode;        // the program is given as text: no script
    QStringList takesValue;        // options whose value is the next argument
    QStringList namesScript;       // options whose value is what runs (module, jar)
};

std::vector<InterpreterFamily> makeFamilies()
{
    const auto family = [](const char *names, QStringList inlineCode, QStringList takesValue,
                           QStringList namesScript) {
        return InterpreterFamily{
            QRegularExpression(QStringLiteral("^(?:%1)[0-9.]*$").arg(QLatin1String(names))),
            std::move(inlineCode), std::move(takesValue), std::move(namesScript)};
    };
    using L = QStringList;
    const auto s = [](const char *text) { return QString::fromLatin1(text); };
    return {
        family("python|pypy", L{s("-c")}, L{s("-W"), s("-X")}, L{s("-m")}),
        family("perl", L{s("-e"), s("-E")}, L{}, L{}),
        family("ruby", L{s("-e")}, L{s("-I"), s("-r")}, L{}),
        family("node|nodejs", L{s("-e"), s("--eval"), s("-p"), s("--print")},
               L{s("-r"), s("--require")}, L{}),
        family("java", L{},
               L{s("-cp"), s("-classpath"), s("--class-path"), s("-p"), s("--module-path")},
               L{s("-jar"), s("-m"), s("--module")}),
        family("sh|bash|dash|zsh|ksh|mksh|fish", L{s("-c")}, L{s("-o"), s("-O")}, L{}),
        family("php", L{s("-r")}, L{s("-c"), s("-d")}, L{s("-f")}),
        family("lua|luajit|tclsh|wish|Rscript|guile|gjs", L{s("-e")}, L{s("-l")}, L{}),
    };
}

const InterpreterFamily *interpreterFamily(const QString &executable)
{
    static const std::vector<InterpreterFamily> families = makeFamilies();
    const QString name = QFileInfo(executable).fileName();
    for (const InterpreterFamily &family : families) {
        if (family.executable.match(name).hasMatch())
            return &family;
    }
    return nullptr;
}

QString scriptArgument(const InterpreterFamily &family, const QStringList &argv)
{
    for (int i = 1; i < argv.size(); ++i) {
        const QString &argument = argv.at(i);
        if (family.inlineCode.contains(argument))
            return {};
        if (argument == QLatin1String("--") || family.namesScript.contains(argument))
            return argv.value(i + 1);
        if (argument == QLatin1String("-")) // the program comes from standard input
            return {};
        if (family.takesValue.contains(argument))
            ++i;
        else if (!argument.startsWith(QLatin1Char('-')))
            return argument;
    }
    return {};
}

} // namespace

ProgramFacts programFacts(const QString &executable, const QStringList &argv, const QString &cwd,
                          const PackageIndex &packages, const QString &root)
{
    ProgramFacts facts{executable, {}};
    // Anyone may call a program of their own "python3": only an interpreter
    // that a package installed is trusted to say what it runs. The kernel
    // gives the executable's real path, so a virtual environment's link to
    // the system's interpreter counts as that one.
    const InterpreterFamily *family = interpreterFamily(executable);
    if (!family || packages.packageOf(executable).isEmpty())
        return facts;
    const QString script = scriptArgument(*family, argv);
    if (script.isEmpty())
        return facts;
    // Where a relative script ran is not always known (a process recorded by
    // the kernel before it was seen): then it cannot be checked, and the
    // interpreter names it.
    if (cwd.isEmpty() && !QDir::isAbsolutePath(script))
        return facts;
    // An argument is only text; a file that exists is a program. It is looked
    // for where the process sees its files (a container's own root).
    const QString path = QDir::cleanPath(QDir(cwd).absoluteFilePath(script));
    if (QFileInfo(root + path).isFile())
        facts.script = path;
    return facts;
}

ProgramFacts programNamed(const QString &processName, const QStringList &directories)
{
    constexpr int kLongestWholeName = 14; // the kernel keeps 15 bytes of a process name
    if (processName.isEmpty() || processName.size() > kLongestWholeName ||
        processName.contains(QLatin1Char('/')))
        return {};
    for (const QString &directory : directories) {
        const QFileInfo file(directory + QLatin1Char('/') + processName);
        if (!file.isFile() || !file.isExecutable())
            continue;
        const QString executable = file.canonicalFilePath();
        if (interpreterFamily(executable) || interpreterFamily(processName))
            return {};
        return {executable, {}};
    }
    return {};
}

QString applicationName(const ProgramFacts &facts, const QString &processName,
                        const PackageIndex &packages)
{
    const QString &program = facts.script.isEmpty() ? facts.executable : facts.script;
    if (program.isEmpty())
        return displayableAppName(processName);
    const QString package = packages.packageOf(program);
    return displayableAppName(package.isEmpty() ? QFileInfo(program).fileName() : package);
}

} // namespace vexmora::meter
