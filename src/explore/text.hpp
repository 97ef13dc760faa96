#pragma once
// Case-insensitive matching of the fixed ASCII names used for metric methods and norms.
#include <algorithm>
#include <string_view>

namespace quarnel {

// True when `text` (UTF-8), lower-cased with the full Unicode mapping, equals `lower_name`
// (lower-case ASCII without the letter k). Lower-casing ASCII letters alone gives the same
// answer: the only non-ASCII characters whose lower-case form is all ASCII is the Kelvin sign
// (to "k"); U+0130 lower-cases to "i" plus a combining dot, which stays non-ASCII.
inline bool equals_ignoring_case(std::string_view text, std::string_view lower_name) {
    if (text.size() != lower_name.size()) return false;
    return std::equal(text.begin(), text.end(), lower_name.begin(), [](char c, char name_char) {
        const char lowered = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        return lowered == name_char;
    });
}

}  // namespace quarnel
