#pragma once

#include "json_numbers.h"

#include <cstddef>

struct cJSON;

namespace vexmora::store {

// Builds one entry object of a report: an optional text member and number
// members, all under literal keys, printed by cJSON exactly as string and
// number items would be. The member texts share one allocation, owned by the
// first member and referred to by the others, so an entry costs cJSON a few
// allocations instead of two per member. The entry must stay whole: never
// detach a member from it.
class EntryBuilder
{
public:
    // Sets the text member (copied when the entry is built); a null text
    // leaves the member out.
    void text(const char *literalKey, const unsigned char *value);
    void number(const char *literalKey, double value);

    // Adds the entry to `array`. Without memory for all of it, the entry lacks
    // members, or all of them, or is left out.
    void addTo(cJSON *array) const;

private:
    static constexpr int kMaxNumbers = 12;

    struct Member
    {
        const char *key;
        std::size_t offset; // of its text in numberTexts_
    };

    cJSON *build() const;
    char *copyTexts(std::size_t textLength) const;
    bool addOwner(cJSON *entry, char *texts, int &next) const;

    const char *textKey_ = nullptr;
    const char *text_ = nullptr;
    Member numbers_[kMaxNumbers] = {};
    int numberCount_ = 0;
    char numberTexts_[kMaxNumbers * kNumberTextSize] = {};
    std::size_t numberTextsUsed_ = 0;
};

} // namespace vexmora::store
