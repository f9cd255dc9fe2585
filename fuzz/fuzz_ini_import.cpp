// INI import of arbitrary bytes: the document's IMPORT and the groups
// collection's file-level IMPORT. Whatever is imported must pack, and its
// package must be stable.
#include "fuzz/fuzz_util.hpp"
#include "tr47ini/tr47ini.hpp"

using namespace tr47;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static tr47fuzz::MemoryFile file;
    const std::string& path = file.write(data, size);
    try {
        ref<cls_INI> doc = cls_INI::create();
        if (doc->IMPORT(path, false)) tr47fuzz::check_package_stable(doc, "package of an imported tree is not stable");
        (void)doc->VALUE("Name", Variant("default"));
        (void)doc->ROOT()->EXISTS("Name", true);
    } catch (const Error&) {
        // A clear error is an accepted outcome for hostile input.
    }
    try {
        ref<cls_INI> root = cls_INI::create();
        ref<cls_INIGroups> groups = cls_INIGroups::create();
        if (groups->IMPORT(path, false, root))
            tr47fuzz::check_package_stable(groups, "package of imported groups is not stable");
    } catch (const Error&) {
    }
    return 0;
}
