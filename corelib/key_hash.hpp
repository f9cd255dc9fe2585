// Hashes of keys as the key index compares them: two keys that
// normalise_key makes equal hash equal.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tr47::detail {

// The hash of a key already normalised (a result of normalise_key).
std::uint32_t hash_normalised_key(std::string_view normalised) noexcept;

// One byte of a key's hash that two keys share whenever they can match
// under any locale's rules: of the ASCII upper case of an ASCII key (1 to
// 255); 0 for other keys, which are compared in full.
std::uint8_t key_tag(std::string_view key) noexcept;

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
    explicit NormalisedKey(std::string_view key, const CaseRules& rules = CaseRules());
    NormalisedKey(const NormalisedKey&) = delete;
    NormalisedKey& operator=(const NormalisedKey&) = delete;
    std::string_view text() const noexcept { return text_; }
    std::uint32_t hash() const noexcept { return hash_normalised_key(text_); }
    // Whether a key (as written) normalises to this one.
    bool matches(std::string_view key) const {
        return !first_letters_differ(key, text_) && key_matches(key, text_, rules_);
    }
    // The key_tag of the key as written.
    std::uint8_t tag() const noexcept {
        if (tag_ < 0) tag_ = key_tag(written_);
        return static_cast<std::uint8_t>(tag_);
    }

private:
    static constexpr std::size_t kShort = 64;
    char short_[kShort];
    std::string long_;
    std::string_view text_;
    std::string_view written_;
    CaseRules rules_;
    mutable std::int16_t tag_ = -1;
};

// The hash of normalise_key(key); under rules already asked, when many
// keys are hashed at once (a key index is built under one set of rules).
inline std::uint32_t key_hash(std::string_view key, const CaseRules& rules = CaseRules()) {
    return NormalisedKey(key, rules).hash();
}

} // namespace tr47::detail
