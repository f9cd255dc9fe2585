#include <iostream>

#include "corelib/limits.hpp"
#include "corelib/platform.hpp"
#include "tr47ini/corelib.hpp"
#include "tr47ini/version.hpp"

namespace tr47 {

const std::string& TextList::Item(std::int32_t position) const noexcept {
    static const std::string empty;
    if (position < 1 || position > COUNT()) return empty;
    return items_[static_cast<std::size_t>(position - 1)];
}

void TextList::Item(std::int32_t position, std::string text) {
    if (position < 1 || position > COUNT())
        raise(hr::OUT_OF_RANGE, "Subscript out of range: text list position " + std::to_string(position));
    items_[static_cast<std::size_t>(position - 1)] = std::move(text);
}

ref<TextList> Toolkit::split(std::string_view text, std::string_view separator, std::string_view open,
                             std::string_view close, std::string_view quote, std::size_t maxItems) const {
    ref<TextList> list = make_ref<TextList>();
    split_into(list->items(), text, separator, open, close, quote, maxItems);
    return list;
}

void Toolkit::split_into(std::vector<std::string>& items, std::string_view text, std::string_view separator,
                         std::string_view open, std::string_view close, std::string_view quote,
                         std::size_t maxItems) const {
    // Items already in the list are overwritten in place, so a list used
    // line after line keeps its storage.
    std::size_t used = 0;
    struct Trim {
        std::vector<std::string>& items;
        std::size_t& used;
        ~Trim() { items.resize(used); }
    } trim{items, used};
    split_each(text, separator, open, close, quote, maxItems, [&](std::string_view item) {
        if (used < items.size())
            items[used].assign(item);
        else
            items.emplace_back(item);
        ++used;
    });
}

void Toolkit::split_each(std::string_view text, std::string_view separator, std::string_view open,
                         std::string_view close, std::string_view quote, std::size_t maxItems,
                         const std::function<void(std::string_view)>& each) const {
    std::size_t used = 0;
    auto put = [&](std::string_view item) {
        each(item);
        ++used;
    };
    if (separator.empty()) {
        put(trim_blanks(text));
        return;
    }
    const char sep = separator[0];
    const char op = open.empty() ? '\0' : open[0];
    const char cl = close.empty() ? '\0' : close[0];
    const char qu = quote.empty() ? '\0' : quote[0];
    const bool blankSep = sep == ' ';
    int depth = 0;
    bool inQuote = false;
    std::size_t start = 0;
    auto emit = [&](std::size_t end) {
        std::string_view item = trim_blanks(text.substr(start, end - start));
        if (!(blankSep && item.empty())) put(item);
    };
    // A list of at most one item is the whole text.
    const std::size_t scanEnd = maxItems == 1 ? 0 : text.size();
    for (std::size_t i = 0; i < scanEnd; ++i) {
        char c = text[i];
        if (qu && c == qu) {
            inQuote = !inQuote;
        } else if (inQuote) {
            continue;
        } else if (op && c == op) {
            ++depth;
        } else if (cl && c == cl) {
            if (depth > 0) --depth;
        } else if (c == sep && depth == 0) {
            emit(i);
            start = i + 1;
            if (maxItems && used + 1 >= maxItems) break; // the rest is the last item
            if (used >= limits::kMaxListItems)
                raise(hr::LIMIT_EXCEEDED, "List with more than " + std::to_string(limits::kMaxListItems) + " items");
        }
    }
    emit(text.size());
    // An empty text is one empty item, as the splitter of a list of one.
    if (used == 0 && !blankSep) put({});
}

std::string Toolkit::unquote(std::string_view text) const {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') return std::string(text);
    std::string_view inner = text.substr(1, text.size() - 2);
    std::string out;
    out.reserve(inner.size());
    for (std::size_t i = 0; i < inner.size(); ++i) {
        out += inner[i];
        if (inner[i] == '"' && i + 1 < inner.size() && inner[i + 1] == '"') ++i;
    }
    return out;
}

GlobalObject& GlobalObject::instance() {
    static GlobalObject global;
    return global;
}

void GlobalObject::show_message(const std::string& text, const std::string& title, Object*, Object*) {
    // Import problems only: the lock is never taken on a look-up.
    std::lock_guard<std::mutex> hold(sink_lock_);
    if (sink_) {
        sink_(text, title);
        return;
    }
    std::cerr << text << '\n';
}

MessageSink GlobalObject::set_message_sink(MessageSink sink) {
    std::lock_guard<std::mutex> hold(sink_lock_);
    std::swap(sink, sink_);
    return sink;
}

bool GlobalObject::file_exists(const std::string& path) const {
    const auto kind = detail::platform::file_kind(path);
    return kind == detail::platform::FileKind::Regular || kind == detail::platform::FileKind::Other;
}

const char* library_version() noexcept { return TR47_INI_VERSION_STRING; }

const std::string& library_base_name() {
    static const std::string name = "TR47_INI";
    return name;
}

} // namespace tr47
