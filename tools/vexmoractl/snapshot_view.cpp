#include "json_cells.h"
#include "report_views.h"
#include "text_table.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using vexmora::tools::TextTable;

namespace vexmora::ctl {
namespace {

bool isListOfObjects(const QJsonArray &array)
{
    for (const QJsonValue &value : array) {
        if (!value.isObject()) {
            return false;
        }
    }
    return !array.isEmpty();
}

// The members of the meter's snapshots, in the order their columns show.
const QStringList kKnownKeys = {QStringLiteral("pid"),      QStringLiteral("name"),
                                QStringLiteral("app"),      QStringLiteral("up"),
                                QStringLiteral("down"),     QStringLiteral("up_rate"),
                                QStringLiteral("down_rate")};

// The known keys that appear, then the others in the order they first appear
// (each object's own keys come sorted, as QJsonObject keeps them).
QStringList columnKeys(const QJsonArray &objects)
{
    QStringList keys;
    for (const QString &key : kKnownKeys) {
        for (const QJsonValue &value : objects) {
            if (value.toObject().contains(key)) {
                keys.append(key);
                break;
            }
        }
    }
    for (const QJsonValue &value : objects) {
        for (const QString &key : value.toObject().keys()) {
            if (!keys.contains(key)) {
                keys.append(key);
            }
        }
    }
    return keys;
}

bool isNumberColumn(const QJsonArray &objects, const QString &key)
{
    for (const QJsonValue &value : objects) {
        const QJsonValue cell = value.toObject().value(key);
        if (!cell.isUndefined() && !cell.isDouble()) {
            return false;
        }
    }
    return true;
}

QString snapshotCell(const QString &key, const QJsonValue &value)
{
    if (key == QLatin1String("up") || key == QLatin1String("down")) {
        return bytesCell(value);
    }
    if (key == QLatin1String("up_rate") || key == QLatin1String("down_rate")) {
        return bytesCell(value, QStringLiteral("/s"));
    }
    return cellText(value);
}

QString objectTable(const QJsonArray &objects)
{
    const QStringList keys = columnKeys(objects);
    TextTable table;
    for (const QString &key : keys) {
        table.addColumn(key, isNumberColumn(objects, key) ? TextTable::Align::Right
                                                          : TextTable::Align::Left);
    }
    for (const QJsonValue &value : objects) {
        const QJsonObject object = value.toObject();
        QStringList cells;
        for (const QString &key : keys) {
            cells.append(snapshotCell(key, object.value(key)));
        }
        table.addRow(cells);
    }
    return table.render();
}

} // namespace

QString formatSnapshot(const QString &reply)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(reply.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError) {
        return reply.endsWith(QLatin1Char('\n')) || reply.isEmpty() ? reply
                                                                    : reply + QLatin1Char('\n');
    }
    if (document.isArray() && document.array().isEmpty()) {
        return QStringLiteral("The snapshot is empty.\n");
    }
    if (document.isArray() && isListOfObjects(document.array())) {
        return objectTable(document.array());
    }
    return QString::fromUtf8(document.toJson(QJsonDocument::Indented));
}

} // namespace vexmora::ctl
