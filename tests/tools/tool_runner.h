#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

namespace testsupport {

struct ToolRun
{
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;

    QString describe() const
    {
        return QStringLiteral("exit ") + QString::number(exitCode) + QStringLiteral("\nstdout:\n") +
               QString::fromUtf8(out) + QStringLiteral("\nstderr:\n") + QString::fromUtf8(err);
    }
};

// Runs a command-line tool to its end, its output kept apart by stream.
inline ToolRun
runTool(const QString &program, const QStringList &arguments,
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    ToolRun run;
    run.finished = process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit;
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

} // namespace testsupport
