#include "container_names.h"

#include "name_text.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <cjson/cJSON.h>
#include <memory>
#include <vector>

namespace vexmora::meter {

namespace {

// Far more than a runtime writes (a container's configuration takes a few
// KiB, podman's list some hundred bytes a container): a larger file is not
// read at all.
constexpr qint64 kMaxStateFileBytes = 4 * 1024 * 1024;
// Cgroup paths of every hierarchy of a hybrid host fit many times over.
constexpr qint64 kMaxProcCgroupBytes = 64 * 1024;
// State files remembered at most: one per Docker container, one for podman.
constexpr int kMaxStateFiles = 256;
// How the runtimes' own tools show an id.
constexpr int kShortIdDigits = 12;

// Where a runtime creates a container's cgroup: the first one or two names of
// its path, the pattern matching a whole name. A container may create cgroups
// of its own below.
struct CgroupRule
{
    const char *parent; // the first name, or nothing when the rule matches it
    QRegularExpression name;
    ContainerRuntime runtime;
    bool unitEscaped; // the key is escaped as systemd escapes unit names
};

const std::vector<CgroupRule> &cgroupRules()
{
    const auto rule = [](const char *parent, const char *pattern, ContainerRuntime runtime,
                         bool unitEscaped = false) {
        return CgroupRule{
            parent, QRegularExpression(QRegularExpression::anchoredPattern(QLatin1String(pattern))),
            runtime, unitEscaped};
    };
    using R = ContainerRuntime;
    static const std::vector<CgroupRule> rules = {
        rule("system.slice", "docker-([0-9a-f]{64})\\.scope", R::Docker),
        rule("docker", "([0-9a-f]{64})", R::Docker),
        rule("machine.slice", "libpod-([0-9a-f]{64})\\.scope", R::Podman),
        rule("libpod_parent", "libpod-([0-9a-f]{64})", R::Podman),
        rule("machine.slice", "machine-(.+)\\.scope", R::Nspawn, true),
        rule(nullptr, "lxc\\.payload\\.(.+)", R::Lxc),
        rule("lxc", "(.+)", R::Lxc),
    };
    return rules;
}

int hexDigit(char c)
{
    const int at = QByteArray("0123456789abcdefABCDEF").indexOf(c);
    return at < 16 ? at : at - 6;
}

// systemd's unit name escaping undone: "\x2d" is '-'.
QString unescapeUnitName(const QString &escaped)
{
    const QByteArray text = escaped.toUtf8();
    QByteArray bytes;
    for (int i = 0; i < text.size(); ++i) {
        const bool isEscape = text.mid(i, 2) == "\\x" && i + 3 < text.size() &&
                              hexDigit(text.at(i + 2)) >= 0 && hexDigit(text.at(i + 3)) >= 0;
        if (isEscape) {
            bytes.append(char(hexDigit(text.at(i + 2)) * 16 + hexDigit(text.at(i + 3))));
            i += 3;
        } else {
            bytes.append(text.at(i));
        }
    }
    return QString::fromUtf8(bytes);
}

// The file's bytes, or nothing when it cannot be read or holds more than
// maxBytes (it may grow while it is read).
bool readBounded(const QString &path, qint64 maxBytes, QByteArray *content)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *content = file.read(maxBytes + 1);
    return content->size() <= maxBytes;
}

using JsonPointer = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

JsonPointer parseJson(const QByteArray &text)
{
    return JsonPointer(cJSON_ParseWithLength(text.constData(), std::size_t(text.size())),
                       &cJSON_Delete);
}

QString jsonString(const cJSON *object, const char *key)
{
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, key);
    return cJSON_IsString(item) ? QString::fromUtf8(item->valuestring) : QString();
}

// Docker's config.v2.json of one container: its id and name ("/web1").
QHash<QString, QString> parseDockerConfig(const QByteArray &text)
{
    const JsonPointer root = parseJson(text);
    QString name = jsonString(root.get(), "Name");
    if (name.startsWith(QLatin1Char('/')))
        name.remove(0, 1);
    return {{jsonString(root.get(), "ID"), name}};
}

// Podman's containers.json: [{"id": ..., "names": [...]}, ...]; the first
// name counts.
QHash<QString, QString> parsePodmanContainers(const QByteArray &text)
{
    QHash<QString, QString> names;
    const JsonPointer root = parseJson(text);
    const cJSON *array = cJSON_IsArray(root.get()) ? root.get() : nullptr;
    const cJSON *container = nullptr;
    cJSON_ArrayForEach(container, array)
    {
        const cJSON *first =
            cJSON_GetArrayItem(cJSON_GetObjectItemCaseSensitive(container, "names"), 0);
        const QString id = jsonString(container, "id");
        if (!id.isEmpty() && cJSON_IsString(first))
            names.insert(id, QString::fromUtf8(first->valuestring));
    }
    return names;
}

} // namespace

QString unifiedCgroupPath(const QByteArray &procCgroup)
{
    static const QByteArray kUnified = "0::";
    QString path;
    int found = 0;
    for (const QByteArray &line : procCgroup.split('\n')) {
        if (line.startsWith(kUnified) && ++found == 1)
            path = QFile::decodeName(line.mid(kUnified.size()));
    }
    return found == 1 ? path : QString();
}

QString processCgroupPath(const QString &processDir)
{
    QByteArray content;
    if (!readBounded(processDir + QStringLiteral("/cgroup"), kMaxProcCgroupBytes, &content))
        return {};
    return unifiedCgroupPath(content);
}

ContainerCgroup containerCgroup(const QString &cgroupPath)
{
    if (!cgroupPath.startsWith(QLatin1Char('/')))
        return {};
    const QStringList names = cgroupPath.mid(1).split(QLatin1Char('/'));
    for (const CgroupRule &rule : cgroupRules()) {
        const int at = rule.parent ? 1 : 0;
        if (names.size() <= at || (rule.parent && names.at(0) != QLatin1String(rule.parent)))
            continue;
        const QRegularExpressionMatch match = rule.name.match(names.at(at));
        if (!match.hasMatch())
            continue;
        const QString key = match.captured(1);
        return {rule.runtime, rule.unitEscaped ? unescapeUnitName(key) : key};
    }
    return {};
}

ContainerNames::ContainerNames(ContainerStateRoots roots) : roots_(std::move(roots)) {}

QString ContainerNames::nameOf(const ContainerCgroup &container)
{
    QString name;
    switch (container.runtime) {
    case ContainerRuntime::None:
        return {};
    case ContainerRuntime::Docker:
        name = dockerName(container.key);
        break;
    case ContainerRuntime::Podman:
        name = podmanName(container.key);
        break;
    case ContainerRuntime::Nspawn:
    case ContainerRuntime::Lxc:
        name = container.key;
        break;
    }
    if (name.isEmpty())
        name = container.key.left(kShortIdDigits);
    return displayableName(name, kMaxContainerNameBytes);
}

QString ContainerNames::dockerName(const QString &id)
{
    const QString path = roots_.docker + QStringLiteral("/containers/%1/config.v2.json").arg(id);
    return stateFile(path, parseDockerConfig).namesById.value(id);
}

// The containers of podman's storage driver: overlay, where the kernel has
// it, else vfs.
QString ContainerNames::podmanName(const QString &id)
{
    for (const char *driver : {"overlay", "vfs"}) {
        const QString path =
            roots_.containers +
            QStringLiteral("/storage/%1-containers/containers.json").arg(QLatin1String(driver));
        const QString name = stateFile(path, parsePodmanContainers).namesById.value(id);
        if (!name.isEmpty())
            return name;
    }
    return {};
}

const ContainerNames::StateFile &
ContainerNames::stateFile(const QString &path, QHash<QString, QString> (*parse)(const QByteArray &))
{
    const QFileInfo info(path);
    const QDateTime modified = info.lastModified();
    const qint64 size = info.exists() ? info.size() : -1;
    const auto known = files_.constFind(path);
    if (known != files_.constEnd() && known->modified == modified && known->size == size)
        return *known;
    StateFile file{modified, size, {}};
    QByteArray content;
    if (size >= 0 && size <= kMaxStateFileBytes && readBounded(path, kMaxStateFileBytes, &content))
        file.namesById = parse(content);
    if (files_.size() >= kMaxStateFiles && !files_.contains(path))
        files_.clear();
    return *files_.insert(path, file);
}

} // namespace vexmora::meter
