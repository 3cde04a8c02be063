#include "result_table.h"

#include <cstdarg>
#include <cstdio>

namespace bench {
namespace {

const char *verdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Pass:
        return "pass";
    case Verdict::Miss:
        return "MISS";
    case Verdict::Info:
        break;
    }
    return "";
}

} // namespace

void ResultTable::addCheck(ResultRow row, bool met)
{
    row.verdict = met ? Verdict::Pass : Verdict::Miss;
    add(std::move(row));
}

void ResultTable::print() const
{
    std::printf("\n| | measure | median (p90) or value | reference | target | |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const ResultRow &row : rows_) {
        std::printf("| %s | %s | %s | %s | %s | %s |\n", row.section.c_str(), row.measure.c_str(),
                    row.value.c_str(), row.reference.c_str(), row.target.c_str(),
                    verdictText(row.verdict));
    }
    std::fflush(stdout);
}

int ResultTable::missCount() const
{
    int misses = 0;
    for (const ResultRow &row : rows_) {
        misses += row.verdict == Verdict::Miss ? 1 : 0;
    }
    return misses;
}

std::string format(const char *pattern, ...)
{
    char text[512];
    va_list arguments;
    va_start(arguments, pattern);
    std::vsnprintf(text, sizeof text, pattern, arguments);
    va_end(arguments);
    return text;
}

} // namespace bench
