#include "name_text.h"

#include <QVector>

namespace vexmora::meter {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kEllipsis = 0x2026;
constexpr int kEllipsisBytes = 3;

int utf8Length(char32_t code)
{
    return code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
}

// Formatting characters that reorder or break what a terminal or a page shows
// around them.
bool isLayoutControl(char32_t code)
{
    return code == 0x061C || code == 0x200E || code == 0x200F || code == 0x2028 || code == 0x2029 ||
           (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

char32_t standIn(char32_t code)
{
    if (code < 0x20)
        return 0x2400 + code; // the control pictures: U+241B for ESC
    if (code == 0x7F)
        return 0x2421;
    if ((code >= 0x80 && code <= 0x9F) || isLayoutControl(code))
        return kReplacement;
    return code;
}

// Code points, with a lone surrogate as U+FFFD.
QVector<char32_t> codePoints(const QString &text)
{
    QVector<char32_t> codes;
    codes.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            codes.append(QChar::surrogateToUcs4(c, text.at(i + 1)));
            ++i;
        } else {
            codes.append(c.isSurrogate() ? kReplacement : char32_t(c.unicode()));
        }
    }
    return codes;
}

} // namespace

QString displayableName(const QString &raw, int maxBytes)
{
    QVector<char32_t> codes = codePoints(raw);
    int bytes = 0;
    int kept = 0;
    int keptWithinCut = 0; // what stays when an ellipsis has to follow
    for (char32_t &code : codes) {
        code = standIn(code);
        bytes += utf8Length(code);
        if (bytes <= maxBytes - kEllipsisBytes)
            ++keptWithinCut;
        if (bytes <= maxBytes)
            ++kept;
    }
    if (kept < codes.size()) {
        codes.resize(keptWithinCut);
        codes.append(kEllipsis);
    }
    return QString::fromUcs4(codes.constData(), codes.size());
}

bool isReservedName(const QString &name)
{
    return name.startsWith(QLatin1Char('(')) && name.endsWith(QLatin1Char(')'));
}

QString displayableAppName(const QString &raw)
{
    QString name = displayableName(raw);
    if (isReservedName(name)) {
        name.front() = QLatin1Char('[');
        name.back() = QLatin1Char(']');
    }
    return name;
}

} // namespace vexmora::meter
