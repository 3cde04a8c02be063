#pragma once

#include <QString>
#include <QStringList>

namespace testsupport {

// Two network namespaces joined by a veth pair, for real traffic that leaves
// one namespace. The names carry this process's pid (vxattr-PID-a, -b); the
// namespaces are deleted with the object, and those of processes that died
// without deleting theirs are deleted on creation.
class NetnsPair
{
public:
    static constexpr const char *kAddressA4 = "10.231.0.1";
    static constexpr const char *kAddressB4 = "10.231.0.2";
    static constexpr const char *kAddressA6 = "fd00:231::1";
    static constexpr const char *kAddressB6 = "fd00:231::2";

    NetnsPair();
    ~NetnsPair();
    NetnsPair(const NetnsPair &) = delete;
    NetnsPair &operator=(const NetnsPair &) = delete;

    // Empty when both namespaces are up, else what failed.
    QString error() const { return error_; }
    QString a() const { return a_; }
    QString b() const { return b_; }

private:
    QString a_;
    QString b_;
    QString error_;
};

// The calling thread in a named network namespace, for the object's life.
class NetnsEntry
{
public:
    explicit NetnsEntry(const QString &name);
    ~NetnsEntry();
    NetnsEntry(const NetnsEntry &) = delete;
    NetnsEntry &operator=(const NetnsEntry &) = delete;
    bool ok() const { return entered_; }

private:
    int original_ = -1;
    bool entered_ = false;
};

// The command line that runs command inside the named namespace.
QStringList inNamespace(const QString &name, const QStringList &command);

} // namespace testsupport
