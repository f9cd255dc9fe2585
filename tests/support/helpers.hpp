// Shared helpers of the test suite.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tr47ini/tr47ini.hpp"

namespace tr47::test {

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }
    // Writes bytes to a file in the directory and returns its path.
    std::string write(const std::string& name, const std::string& bytes) const;
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

std::string read_file(const std::string& path);

// Lists of texts, as the toolkit's split and the reader's lines give them.
using Items = std::vector<std::string>;

// Captures the messages of the message output while it lives.
class MessageCapture {
public:
    MessageCapture();
    ~MessageCapture();
    std::vector<std::string> messages;

private:
    MessageSink previous_;
};

// Imports INI text through a document; messages are captured.
struct Imported {
    ref<cls_INI> doc;
    bool result = false;
    std::vector<std::string> messages;
};
Imported import_text(const std::string& text, bool outputErrors = true);

// Keys and positions as the model's members take them: a text, a long.
inline Variant S(const char* s) { return Variant(s); }
inline Variant L(std::int32_t n) { return Variant(n); }

// Value at a position of a group's VALUES.
ref<cls_INIValue> value_at(const ref<cls_INIGroup>& g, std::int32_t position);
ref<cls_INIGroup> child_at(const ref<cls_INIGroup>& g, std::int32_t position);

} // namespace tr47::test
