#pragma once

#include <string>
#include <vector>

namespace bench {

enum class Verdict { Info, Pass, Miss };

struct ResultRow
{
    std::string section;
    std::string measure;
    std::string value;
    std::string reference;
    std::string target;
    Verdict verdict = Verdict::Info;
};

// The rows of one run, printed as a Markdown table so that they can go into
// the performance notes unchanged.
class ResultTable
{
public:
    void add(ResultRow row) { rows_.push_back(std::move(row)); }
    void addCheck(ResultRow row, bool met);
    void print() const;
    int missCount() const;

private:
    std::vector<ResultRow> rows_;
};

// printf-style formatting into a std::string.
std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));

} // namespace bench
