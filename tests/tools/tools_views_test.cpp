// The readable forms vexmoractl gives what the end-to-end tests do not show:
// the snapshots, and the hour the meter counts now.
#include "report_views.h"

#include <gtest/gtest.h>

using namespace vexmora::ctl;

namespace {

TEST(Views, ASnapshotIsATableOfItsMembersOrTheTextAsItCame)
{
    EXPECT_EQ(
        formatSnapshot(QStringLiteral(R"([{"up_rate":2048,"pid":12,"name":"sshd","up":1572864},)"
                                      R"({"name":"x","tags":[1,2],"up":1000}])"))
            .toStdString(),
        "pid  name       up    up_rate  tags\n"
        "---  ----  -------  ---------  -----\n"
        " 12  sshd  1.5 MiB  2.0 KiB/s\n"
        "     x      1000 B             [1,2]\n");
    EXPECT_EQ(formatSnapshot(QStringLiteral("[]")).toStdString(), "The snapshot is empty.\n");
    EXPECT_EQ(formatSnapshot(QStringLiteral(R"({"a":[1]})")).toStdString(),
              "{\n    \"a\": [\n        1\n    ]\n}\n");
    EXPECT_EQ(formatSnapshot(QStringLiteral("not json")).toStdString(), "not json\n");
}

TEST(Views, TheHourTheMeterCountsComesLast)
{
    const QString hours =
        formatHours(QStringLiteral("[]"), 0, 80,
                    hourEntryFromMeter(QStringLiteral(R"({"time":"2026-01-01 10:00","mins":2,)"
                                                      R"("recv":1073741824,"sent":0,"recv_peak":9,)"
                                                      R"("sent_peak":0,"total_peak":9})")))
            .value_or(QString());
    EXPECT_NE(hours.indexOf(QStringLiteral("2026-01-01 10:00  0.01  1.00   1.01       0      8738"
                                           "        0          9     9  counting")),
              -1)
        << hours.toStdString();
    EXPECT_TRUE(hourEntryFromMeter(QStringLiteral("{}")).isEmpty());
}

} // namespace
