// The filter of dpkg's lists kept between the meter's runs: trusted only
// while it matches the lists it was built from.
#include "package_index.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace vexmora::meter;

namespace {

struct Dpkg
{
    QTemporaryDir dir;
    QString info() const { return dir.filePath(QStringLiteral("info")); }
    QString status() const { return dir.filePath(QStringLiteral("status")); }
    QString filter() const { return dir.filePath(QStringLiteral("package-filter")); }

    void install(const char *package, const char *path)
    {
        QDir().mkpath(info());
        QFile list(info() + QStringLiteral("/%1.list").arg(QLatin1String(package)));
        QFile status(this->status());
        ASSERT_TRUE(list.open(QIODevice::WriteOnly) && status.open(QIODevice::Append));
        list.write(QByteArray(path) + '\n');
        status.write(QByteArray("Package: ") + package + "\n\n");
    }
    // A start of the meter: the package that installed path.
    QString packageAtStart(const char *path) const
    {
        PackageIndex index(info(), status(), filter());
        index.refresh();
        return index.packageOf(QLatin1String(path));
    }
    ino_t filterInode() const
    {
        struct stat file
        {
        };
        return ::stat(QFile::encodeName(filter()).constData(), &file) == 0 ? file.st_ino : 0;
    }
};

} // namespace

TEST(PackageFilterFile, ReusedWhileTheListsStayAndNeverTrustedOtherwise)
{
    Dpkg dpkg;
    dpkg.install("curl", "/usr/bin/curl");
    ASSERT_EQ(dpkg.packageAtStart("/usr/bin/curl"), QStringLiteral("curl"));
    const ino_t written = dpkg.filterInode();
    ASSERT_NE(written, 0u) << "the filter was not kept";
    ASSERT_EQ(dpkg.packageAtStart("/usr/bin/curl"), QStringLiteral("curl"));
    EXPECT_EQ(dpkg.filterInode(), written) << "built again although nothing changed";

    // Bits lost on the disk: a filter that rules out every path.
    QFile stored(dpkg.filter());
    ASSERT_TRUE(stored.open(QIODevice::ReadWrite));
    const QByteArray header = stored.read(64);
    stored.resize(0);
    stored.write(header + QByteArray(131072, '\0'));
    stored.close();
    EXPECT_EQ(dpkg.packageAtStart("/usr/bin/curl"), QStringLiteral("curl"));

    dpkg.install("wget", "/usr/bin/wget"); // a package installed between two runs
    EXPECT_EQ(dpkg.packageAtStart("/usr/bin/wget"), QStringLiteral("wget"));
}

TEST(PackageIndex, ADatabaseBeyondItsLimitsNamesNothing)
{
    Dpkg dpkg;
    dpkg.install("curl", "/usr/bin/curl"); // 14 bytes
    dpkg.install("wget", "/usr/bin/wget");
    const struct
    {
        std::size_t maxLists;
        qint64 maxBytes;
        const char *wget;
    } cases[] = {{2, 28, "wget"}, {1, 0, ""}, {0, 27, ""}, {0, 0, "wget"}};
    for (const auto &c : cases) {
        PackageIndex index(dpkg.info(), dpkg.status());
        index.limitLists(c.maxLists, c.maxBytes);
        index.refresh();
        EXPECT_EQ(index.packageOf(QStringLiteral("/usr/bin/wget")).toStdString(), c.wget)
            << c.maxLists << " lists, " << c.maxBytes << " bytes";
    }
    // Lists that grow past the limit after the filter was built.
    PackageIndex index(dpkg.info(), dpkg.status());
    index.limitLists(2, 40);
    index.refresh();
    QFile list(dpkg.info() + QStringLiteral("/wget.list"));
    ASSERT_TRUE(list.open(QIODevice::Append));
    list.write(QByteArray(20, 'x') + '\n');
    list.close();
    EXPECT_EQ(index.packageOf(QStringLiteral("/usr/bin/wget")), QString());
}
