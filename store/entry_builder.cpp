#include "entry_builder.h"

#include <cjson/cJSON.h>
#include <cstring>

namespace vexmora::store {
namespace {

// Adds an item of `type` showing `text` under the literal key. The owner of
// the shared texts frees them with the entry; the others only refer to them.
// Answers false when the item could not be added.
bool addMember(cJSON *object, const char *literalKey, int type, char *text, bool owner)
{
    cJSON *item = cJSON_CreateStringReference(text);
    if (item == nullptr) {
        return false;
    }
    item->type = type | cJSON_IsReference;
    if (!cJSON_AddItemToObjectCS(object, literalKey, item)) {
        cJSON_Delete(item);
        return false;
    }
    if (owner) {
        item->type &= ~cJSON_IsReference;
    }
    return true;
}

} // namespace

void EntryBuilder::text(const char *literalKey, const unsigned char *value)
{
    textKey_ = literalKey;
    text_ = reinterpret_cast<const char *>(value);
}

void EntryBuilder::number(const char *literalKey, double value)
{
    if (numberCount_ == kMaxNumbers) {
        return;
    }
    char text[kNumberTextSize];
    const std::size_t length = printNumber(value, text) + 1;
    std::memcpy(numberTexts_ + numberTextsUsed_, text, length);
    numbers_[numberCount_++] = {literalKey, numberTextsUsed_};
    numberTextsUsed_ += length;
}

void EntryBuilder::addTo(cJSON *array) const
{
    cJSON *entry = build();
    if (entry != nullptr && !cJSON_AddItemToArray(array, entry)) {
        cJSON_Delete(entry);
    }
}

// The text member's text, then the numbers', in one block from cJSON's allocator.
char *EntryBuilder::copyTexts(std::size_t textLength) const
{
    auto *block = static_cast<char *>(cJSON_malloc(textLength + numberTextsUsed_));
    if (block != nullptr) {
        std::memcpy(block, text_ != nullptr ? text_ : "", textLength);
        std::memcpy(block + textLength, numberTexts_, numberTextsUsed_);
    }
    return block;
}

// The member whose text starts the block owns it: the text member, or the
// first number when there is none. Without the owner no member may refer to
// the block. `next` is left at the first number still to add.
bool EntryBuilder::addOwner(cJSON *entry, char *texts, int &next) const
{
    if (text_ != nullptr) {
        return addMember(entry, textKey_, cJSON_String, texts, true);
    }
    return numberCount_ > 0 && addMember(entry, numbers_[next++].key, cJSON_Raw, texts, true);
}

cJSON *EntryBuilder::build() const
{
    cJSON *entry = cJSON_CreateObject();
    const std::size_t textLength = text_ != nullptr ? std::strlen(text_) + 1 : 0;
    char *texts = entry != nullptr ? copyTexts(textLength) : nullptr;
    if (texts == nullptr) {
        return entry;
    }
    int next = 0;
    if (!addOwner(entry, texts, next)) {
        cJSON_free(texts);
        return entry;
    }
    for (; next < numberCount_; ++next) {
        addMember(entry, numbers_[next].key, cJSON_Raw, texts + textLength + numbers_[next].offset,
                  false);
    }
    return entry;
}

} // namespace vexmora::store
