#include <cstdio>
#include <cstring>

#include "corelib/encoding.hpp"

namespace tr47 {
namespace detail {

void bad_package(const char* why) { raise(hr::BAD_FILE_FORMAT, std::string("Malformed package: ") + why); }

void put_element(std::string& out, char tag, std::string_view payload) {
    out += tag;
    out += std::to_string(payload.size());
    out += ':';
    out.append(payload);
}

namespace {

std::string hex64(double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(bits));
    return buf;
}

double unhex64(std::string_view s) {
    if (s.size() != 16) bad_package("double of wrong length");
    std::uint64_t bits = 0;
    for (char c : s) {
        int v = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
        if (v < 0) bad_package("double not hexadecimal");
        bits = bits << 4 | static_cast<unsigned>(v);
    }
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

std::int64_t parse_int(std::string_view s, std::int64_t lo, std::int64_t hi) {
    if (s.empty() || s.size() > 20) bad_package("bad integer");
    bool neg = s[0] == '-';
    std::size_t i = neg ? 1 : 0;
    if (i == s.size()) bad_package("bad integer");
    std::int64_t v = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') bad_package("bad integer");
        v = v * 10 + (s[i] - '0');
        if (v > hi + 1) bad_package("integer out of range");
    }
    v = neg ? -v : v;
    if (v < lo || v > hi) bad_package("integer out of range");
    return v;
}

} // namespace

void put_value(std::string& out, const Variant& v) {
    switch (v.type()) {
    case VarType::Empty: put_element(out, 'E', {}); break;
    case VarType::Null: put_element(out, 'U', {}); break;
    case VarType::String: put_element(out, 'S', v.string()); break;
    case VarType::Double: put_element(out, 'N', hex64(v.dbl())); break;
    case VarType::Long: put_element(out, 'L', std::to_string(v.lng())); break;
    case VarType::Date: put_element(out, 'T', hex64(v.date().days)); break;
    case VarType::Boolean: put_element(out, 'B', v.boolean() ? "1" : "0"); break;
    case VarType::Error: put_element(out, 'R', std::to_string(static_cast<std::uint32_t>(v.error().code))); break;
    case VarType::Object: {
        // A persistable object travels as its class name and its package.
        ref<tmp_Data> p = query<tmp_Data>(v.object());
        ref<DataObject> data = p ? p->DATA() : nullptr;
        if (!data) raise(hr::TYPE_MISMATCH, "Type mismatch: only persistable objects can be packed");
        std::string inner;
        put_element(inner, 'S', data->class_name());
        put_element(inner, 'S', data->pack());
        put_element(out, 'O', inner);
        break;
    }
    }
}

void ElementReader::next(char& tag, std::string_view& payload) {
    if (pos_ >= text_.size()) bad_package("element missing");
    tag = text_[pos_++];
    std::size_t len = 0;
    std::size_t digits = 0;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
        if (++digits > 15) bad_package("length too long");
        len = len * 10 + static_cast<std::size_t>(text_[pos_++] - '0');
    }
    if (digits == 0 || pos_ >= text_.size() || text_[pos_] != ':') bad_package("length expected");
    ++pos_;
    if (len > text_.size() - pos_) bad_package("payload beyond the end");
    payload = text_.substr(pos_, len);
    pos_ += len;
}

Variant ElementReader::next_value() {
    char tag;
    std::string_view payload;
    next(tag, payload);
    return decode_value(tag, payload);
}

Variant decode_value(char tag, std::string_view p) {
    switch (tag) {
    case 'E':
        if (!p.empty()) bad_package("empty with payload");
        return Variant();
    case 'U':
        if (!p.empty()) bad_package("null with payload");
        return Variant(Null{});
    case 'S': return Variant(std::string(p));
    case 'N': return Variant(unhex64(p));
    case 'L': return Variant(static_cast<std::int32_t>(parse_int(p, INT32_MIN, INT32_MAX)));
    case 'T': return Variant(Date{unhex64(p)});
    case 'B':
        if (p != "0" && p != "1") bad_package("bad boolean");
        return Variant::boolean(p == "1");
    case 'R': return Variant(ErrorValue{static_cast<HRESULT>(static_cast<std::uint32_t>(parse_int(p, 0, UINT32_MAX)))});
    case 'O': {
        ElementReader r(p);
        Variant cls = r.next_value();
        Variant pkg = r.next_value();
        if (!cls.is_string() || !pkg.is_string() || !r.at_end()) bad_package("bad object");
        ref<tmp_Data> obj = create_by_class_name(cls.string());
        if (!obj) raise(hr::TYPE_MISMATCH, "Type mismatch: unknown class " + cls.string());
        std::string inner = pkg.string();
        obj->DATA()->unpack(inner);
        return Variant(ref<Object>(obj));
    }
    default: bad_package("unknown element type");
    }
}

} // namespace detail

using namespace detail;

std::string Packer::pack_values(const std::vector<PackElement>& elements) const {
    std::string out(kPackageMagic);
    for (const PackElement& e : elements) {
        if (!e.slots) {
            put_value(out, e.value);
            continue;
        }
        // A slot array: its count, then each entry's class name and package.
        SlotArray& a = *e.slots;
        std::int32_t n = a.allocated() ? a.upper_bound() : 0;
        std::string inner;
        put_element(inner, 'L', std::to_string(n));
        for (std::int32_t i = 1; i <= n; ++i) {
            ref<tmp_Data> entry = a.slot(i);
            ref<DataObject> data = entry ? entry->DATA() : nullptr;
            if (!data) raise(hr::OBJECT_NOT_SET, "Object variable not set: empty slot cannot be packed");
            put_element(inner, 'S', data->class_name());
            put_element(inner, 'S', data->pack());
        }
        put_element(out, 'A', inner);
    }
    return out;
}

void Packer::unpack_values(const std::string& package, const std::vector<Target>& targets) const {
    std::string_view text = package;
    if (text.substr(0, kPackageMagic.size()) != kPackageMagic) bad_package("no package header");
    ElementReader r(text.substr(kPackageMagic.size()));
    // Decode everything first, so a malformed package changes nothing.
    struct Item {
        char tag;
        std::string_view payload;
    };
    std::vector<Item> items;
    while (!r.at_end()) {
        Item it{};
        r.next(it.tag, it.payload);
        items.push_back(it);
        if (items.size() > targets.size()) bad_package("more elements than targets");
    }
    if (items.size() != targets.size()) bad_package("fewer elements than targets");
    std::vector<Variant> values(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        bool slots = targets[i].kind == Target::Kind::Slots;
        if (slots != (items[i].tag == 'A')) bad_package("slot array expected where it stands");
        if (!slots) values[i] = decode_value(items[i].tag, items[i].payload);
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (targets[i].kind != Target::Kind::Slots) {
            targets[i].assign(values[i]);
            continue;
        }
        SlotArray& a = *static_cast<SlotArray*>(targets[i].where);
        ElementReader ar(items[i].payload);
        Variant count = ar.next_value();
        if (!count.is_long() || count.lng() < 0) bad_package("bad item count");
        std::int32_t n = count.lng();
        // Each entry needs at least two elements of three bytes each.
        if (static_cast<std::size_t>(n) > items[i].payload.size() / 6) bad_package("item count beyond the package");
        std::vector<std::string_view> packages;
        packages.reserve(static_cast<std::size_t>(n));
        for (std::int32_t k = 0; k < n; ++k) {
            Variant cls = ar.next_value();
            char tag;
            std::string_view pkg;
            ar.next(tag, pkg);
            if (!cls.is_string() || tag != 'S') bad_package("bad slot entry");
            if (cls.string() != a.entry_class_name())
                raise(hr::TYPE_MISMATCH, "Type mismatch: package holds " + cls.string());
            packages.push_back(pkg);
        }
        if (!ar.at_end()) bad_package("trailing data in slot array");
        a.rebuild(n);
        for (std::int32_t k = 1; k <= n; ++k) {
            std::string pkg(packages[static_cast<std::size_t>(k - 1)]);
            a.slot(k)->DATA()->unpack(pkg);
        }
    }
}

} // namespace tr47
