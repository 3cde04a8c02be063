#pragma once

#include <QString>

namespace testsupport {

// Network namespaces vxattr-PID-a and -b joined by a veth pair (a: 10.231.0.1,
// fd00:231::1; b: .2, ::2) while the object lives.
class NetnsPair
{
public:
    static constexpr const char *kAddressB4 = "10.231.0.2";
    static constexpr const char *kAddressA6 = "fd00:231::1";

    NetnsPair();
    ~NetnsPair();
    QString error() const { return error_; } // empty when both are up
    QString a() const { return a_; }
    QString b() const { return b_; }

private:
    QString a_, b_, error_;
};

// Runs a shell script; empty when it succeeds, else the script and its output.
QString shellFailure(const QString &script);

// The calling thread in a named network namespace while the object lives.
class NetnsEntry
{
public:
    explicit NetnsEntry(const QString &name);
    ~NetnsEntry();
    bool ok() const { return entered_; }

private:
    int original_ = -1;
    bool entered_ = false;
};

} // namespace testsupport
