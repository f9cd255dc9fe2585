#include "tests/support/helpers.hpp"

#include <atomic>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace tr47::test {

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            ("tr47-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(const std::string& name, const std::string& bytes) const {
    std::string p = file(name);
    std::ofstream out(p, std::ios::binary);
    out << bytes;
    return p;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

MessageCapture::MessageCapture() {
    previous_ = GlobalObject::instance().set_message_sink(
        [this](const std::string& text, const std::string&) { messages.push_back(text); });
}

MessageCapture::~MessageCapture() { GlobalObject::instance().set_message_sink(previous_); }

Imported import_text(const std::string& text, bool outputErrors) {
    TempDir dir;
    std::string path = dir.write("input.ini", text);
    MessageCapture capture;
    Imported r;
    r.doc = cls_INI::create();
    r.result = r.doc->IMPORT(path, outputErrors);
    r.messages = capture.messages;
    return r;
}

ref<cls_INIValue> value_at(const ref<cls_INIGroup>& g, std::int32_t position) {
    return g->VALUES()->Item(Variant(position), true);
}

ref<cls_INIGroup> child_at(const ref<cls_INIGroup>& g, std::int32_t position) {
    return g->CHILDREN()->Item(Variant(position), true);
}

} // namespace tr47::test
