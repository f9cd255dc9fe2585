// The packer's unpack, directly and through the data objects of all seven
// classes. What unpacks must pack, and that package must unpack and pack
// to itself.
#include "fuzz/fuzz_util.hpp"
#include "tr47ini/tr47ini.hpp"

using namespace tr47;

namespace {

ref<tmp_Data> make(std::uint8_t which) {
    switch (which % 7) {
    case 0: return cls_INI::create();
    case 1: return cls_INIGroup::create();
    case 2: return cls_INIGroups::create();
    case 3: return cls_INIValue::create();
    case 4: return cls_INIValues::create();
    case 5: return cls_INIEnum::create();
    default: return cls_INIEnums::create();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t which = data[0];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    try {
        std::string s;
        std::int32_t l = 0;
        Variant v;
        GlobalObject::instance().toolkit().packer().unpack_values(text, {Target(&s), Target(&l), Target(&v)});
    } catch (const Error&) {
    }
    ref<tmp_Data> object = make(which);
    try {
        std::string package = text;
        object->DATA()->unpack(package);
    } catch (const Error&) {
        return 0;
    }
    try {
        std::string package = object->DATA()->pack();
        ref<tmp_Data> again = make(which);
        std::string copy = package;
        again->DATA()->unpack(copy);
        if (again->DATA()->pack() != package) tr47fuzz::fail("unpacked object does not round-trip");
    } catch (const Error&) {
        tr47fuzz::fail("a package made by pack does not unpack");
    }
    return 0;
}
