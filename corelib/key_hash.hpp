// Keys as look-ups compare them: a wanted key normalised once, the
// comparison with keys as written, and the hash that key indexes and tags
// take, which keys matching under any locale's rules share.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tr47::detail {

// A hash of exact bytes (the import keeps each name once by it).
std::uint32_t hash_bytes(std::string_view bytes) noexcept;

// A hash that every key matching this one under any locale's rules shares:
// of its upper case with every i and İ read as I. Key indexes and tags use
// it, so that an index built under one locale's rules answers under
// another's.
std::uint32_t folded_key_hash(std::string_view key);
// One byte of a folded hash (1 to 255).
constexpr std::uint8_t tag_of_folded(std::uint32_t hash) noexcept { return static_cast<std::uint8_t>(1 + hash % 255); }
// The tag of a key: of its folded hash.
std::uint8_t key_tag(std::string_view key);

// What a look-up takes from the locale: whether i upper-cases to İ. Asked
// once, and only when an i makes it matter; one look-up then compares all
// its keys under the same rules.
class CaseRules {
public:
    bool dots_i() const;

private:
    mutable signed char dotted_ = -1;
};

// Whether a key cannot normalise to `normalised` by its first character
// alone, inline: scans compare many keys that differ at once. An ASCII first
// character other than a blank or an i upper-cases alike under every rules,
// whatever follows.
inline bool first_letters_differ(std::string_view key, std::string_view normalised) noexcept {
    if (key.empty()) return false;
    const char c = key[0];
    const char up = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
    return static_cast<unsigned char>(c) < 0x80 && c != ' ' && c != 'i' && (normalised.empty() || up != normalised[0]);
}

// key_matches under those rules.
bool key_matches(std::string_view key, std::string_view normalised, const CaseRules& rules);

// normalise_key(key), built in place for the usual short ASCII key.
class NormalisedKey {
public:
    explicit NormalisedKey(std::string_view key);
    NormalisedKey(const NormalisedKey&) = delete;
    NormalisedKey& operator=(const NormalisedKey&) = delete;
    std::string_view text() const noexcept { return text_; }
    // Whether a key (as written) normalises to this one.
    bool matches(std::string_view key) const {
        return !first_letters_differ(key, text_) && key_matches(key, text_, rules_);
    }
    // The folded_key_hash of the key as written, and its tag.
    std::uint32_t folded() const {
        if (!folded_known_) {
            folded_ = folded_key_hash(written_);
            folded_known_ = true;
        }
        return folded_;
    }
    std::uint8_t tag() const { return tag_of_folded(folded()); }

private:
    static constexpr std::size_t kShort = 64;
    char short_[kShort];
    std::string long_;
    std::string_view text_;
    std::string_view written_;
    CaseRules rules_;
    mutable std::uint32_t folded_ = 0;
    mutable bool folded_known_ = false;
};

} // namespace tr47::detail
