#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

namespace vexmora::tools {

// A plain-text table for the terminal: a header line, a rule of dashes and
// one line per row, columns padded to their widest cell and two blanks apart.
// Headers and cells are shown as escapedText().
class TextTable
{
public:
    enum class Align { Left, Right };

    void addColumn(const QString &header, Align align = Align::Left);
    // Missing cells stay blank; cells beyond the columns are dropped.
    void addRow(const QStringList &cells);
    int rowCount() const { return rows_.size(); }
    // Every line ends in a line feed and carries no trailing blanks.
    QString render() const;

private:
    QVector<int> columnWidths() const;
    QString renderLine(const QStringList &cells, const QVector<int> &widths) const;

    QStringList headers_;
    QVector<Align> aligns_;
    QVector<QStringList> rows_;
};

} // namespace vexmora::tools
