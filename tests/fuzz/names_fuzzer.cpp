// Arbitrary process names, command lines and file names through the naming
// of processes and applications: whatever comes in, the name that comes out
// holds no control character, fits the limit and is no row of the meter's.
#include "name_text.h"
#include "program_facts.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace vexmora::meter;

namespace {

void require(bool holds, const char *what, const QString &name)
{
    if (!holds) {
        fprintf(stderr, "%s: %s\n", what, name.toUtf8().toHex().constData());
        abort();
    }
}

void checkName(const QString &name, bool isApp)
{
    const QByteArray utf8 = name.toUtf8();
    require(utf8.size() <= kMaxNameBytes, "over the limit", name);
    require(QString::fromUtf8(utf8) == name, "not valid UTF-8", name);
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        require(u >= 0x20 && !(u >= 0x7F && u <= 0x9F) && !(u >= 0x202A && u <= 0x202E),
                "a control character", name);
    }
    if (isApp)
        require(!isReservedName(name), "a reserved name", name);
}

// A package index that knows one interpreter, so that scripts are looked at.
struct Packages
{
    Packages()
    {
        QDir(dir.path()).mkpath(QStringLiteral("info"));
        QFile list(dir.filePath(QStringLiteral("info/python3-minimal.list")));
        QFile status(dir.filePath(QStringLiteral("status")));
        if (!list.open(QIODevice::WriteOnly) || !status.open(QIODevice::WriteOnly))
            abort();
        list.write("/usr/bin/python3\n");
        status.write("Package: python3-minimal\n\n");
        list.close();
        status.close();
        index.refresh();
    }
    QTemporaryDir dir;
    PackageIndex index{dir.filePath(QStringLiteral("info")),
                       dir.filePath(QStringLiteral("status"))};
};

} // namespace

// The input: a process name, then the command line, its parts apart by NUL
// bytes, as /proc gives them; the first argument doubles as the executable.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Packages packages;
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    const QList<QByteArray> parts = input.split('\0');
    const QString processName = QString::fromUtf8(parts.value(0));
    QStringList argv;
    for (int i = 1; i < parts.size(); ++i)
        argv << QString::fromUtf8(parts.at(i));
    const QString executable = argv.isEmpty() ? QString() : argv.constFirst();
    // Trusted or not: the same command line under the known interpreter.
    for (const QString &exe : {executable, QStringLiteral("/usr/bin/python3")}) {
        const ProgramFacts facts = programFacts(exe, argv, QStringLiteral("/"), packages.index);
        checkName(applicationName(facts, processName, packages.index), true);
    }
    checkName(displayableName(processName), false);
    // UTF-16 as it may come, lone surrogates and all.
    std::vector<char16_t> utf16(size / 2);
    memcpy(utf16.data(), data, utf16.size() * 2);
    const QString units = QString::fromUtf16(utf16.data(), int(utf16.size()));
    checkName(displayableName(units), false);
    checkName(displayableAppName(units), true);
    return 0;
}
