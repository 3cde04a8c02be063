#include "text_table.h"

#include "terminal_text.h"

#include <algorithm>

namespace vexmora::tools {

void TextTable::addColumn(const QString &header, Align align)
{
    headers_.append(escapedText(header));
    aligns_.append(align);
}

void TextTable::addRow(const QStringList &cells)
{
    // A cell is one line of text whatever the service's reply holds.
    QStringList row;
    for (const QString &cell : cells.mid(0, headers_.size())) {
        row.append(escapedText(cell));
    }
    rows_.append(row);
}

QVector<int> TextTable::columnWidths() const
{
    QVector<int> widths;
    for (const QString &header : headers_) {
        widths.append(header.size());
    }
    for (const QStringList &row : rows_) {
        for (int column = 0; column < row.size(); ++column) {
            widths[column] = std::max(widths[column], int(row[column].size()));
        }
    }
    return widths;
}

QString TextTable::renderLine(const QStringList &cells, const QVector<int> &widths) const
{
    QString line;
    for (int column = 0; column < widths.size(); ++column) {
        const QString cell = column < cells.size() ? cells[column] : QString();
        if (column > 0) {
            line += QStringLiteral("  ");
        }
        line += aligns_[column] == Align::Right ? cell.rightJustified(widths[column])
                                                : cell.leftJustified(widths[column]);
    }
    while (line.endsWith(QLatin1Char(' '))) {
        line.chop(1);
    }
    return line + QLatin1Char('\n');
}

QString TextTable::render() const
{
    const QVector<int> widths = columnWidths();
    QStringList rules;
    for (int width : widths) {
        rules.append(QString(width, QLatin1Char('-')));
    }
    QString text = renderLine(headers_, widths) + renderLine(rules, widths);
    for (const QStringList &row : rows_) {
        text += renderLine(row, widths);
    }
    return text;
}

} // namespace vexmora::tools
