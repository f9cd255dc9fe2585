// INI import of arbitrary bytes: the document's IMPORT and the groups
// collection's file-level IMPORT. Whatever is imported must pack, and its
// package must be stable: unpacking may turn an empty identifier into an
// empty text once, but a second unpack changes nothing.
#include "fuzz/fuzz_util.hpp"
#include "tr47ini/tr47ini.hpp"

using namespace tr47;

namespace {
template <class T>
void check_round_trip(const ref<T>& imported) {
    std::string package = imported->DATA()->pack();
    ref<T> once = T::create(), twice = T::create();
    once->DATA()->unpack(package);
    std::string settled = once->DATA()->pack();
    std::string copy = settled;
    twice->DATA()->unpack(copy);
    if (twice->DATA()->pack() != settled) tr47fuzz::fail("package of an imported tree is not stable");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static tr47fuzz::MemoryFile file;
    const std::string& path = file.write(data, size);
    try {
        ref<cls_INI> doc = cls_INI::create();
        if (doc->IMPORT(path, false)) check_round_trip(doc);
        (void)doc->VALUE("Name", Variant("default"));
        (void)doc->ROOT()->EXISTS("Name", true);
    } catch (const Error&) {
        // A clear error is an accepted outcome for hostile input.
    }
    try {
        ref<cls_INI> root = cls_INI::create();
        ref<cls_INIGroups> groups = cls_INIGroups::create();
        if (groups->IMPORT(path, false, root)) check_round_trip(groups);
    } catch (const Error&) {
    }
    return 0;
}
