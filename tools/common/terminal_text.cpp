#include "terminal_text.h"

namespace vexmora::tools {
namespace {

bool needsEscape(char16_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

QString escape(char16_t c)
{
    return c <= 0xFF ? QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'))
                     : QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0'));
}

QString escaped(const QString &text, bool keepLineFeeds)
{
    QString out;
    out.reserve(text.size());
    for (const QChar qc : text) {
        const char16_t c = qc.unicode();
        if (c == u'\\' && !keepLineFeeds) {
            out += QLatin1String("\\\\");
        } else if (needsEscape(c) && !(keepLineFeeds && c == u'\n')) {
            out += escape(c);
        } else {
            out += qc;
        }
    }
    return out;
}

} // namespace

QString escapedText(const QString &text)
{
    return escaped(text, false);
}

QString terminalText(const QString &text)
{
    return escaped(text, true);
}

} // namespace vexmora::tools
