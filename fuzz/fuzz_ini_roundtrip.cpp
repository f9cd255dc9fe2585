// Round trip through INI text: whatever imports, exports without losses,
// must import again to the same tree in every field the text carries, and
// export to the same text the second time. Both forms: the document's and
// the groups collection's file level.
#include <sstream>

#include "fuzz/fuzz_util.hpp"
#include "tests/support/tree_equal.hpp"
#include "tr47ini/tr47ini.hpp"

using namespace tr47;

namespace {

void report(const std::string& difference, const std::string& text) {
    std::fprintf(stderr, "difference: %s\nexported text:\n%s\n", difference.c_str(), text.c_str());
}

void document_round_trip(const std::string& path, tr47fuzz::MemoryFile& second) {
    ref<cls_INI> doc = cls_INI::create();
    if (!doc->IMPORT(path, false)) return;
    std::ostringstream first;
    if (!export_ini(*doc, first).diagnostics.empty()) return;
    ref<cls_INI> back = cls_INI::create();
    if (!back->IMPORT(second.write(first.str()), false)) {
        report("the exported text does not import", first.str());
        tr47fuzz::fail("document: exported text does not import");
    }
    const std::string difference = test::tree_difference(*doc, *back);
    if (!difference.empty()) {
        report(difference, first.str());
        tr47fuzz::fail("document: the tree read back differs");
    }
    std::ostringstream again;
    const export_result r = export_ini(*back, again);
    if (!r.diagnostics.empty() || again.str() != first.str()) {
        report("second export", again.str());
        tr47fuzz::fail("document: the second export differs");
    }
}

void groups_round_trip(const std::string& path, tr47fuzz::MemoryFile& second) {
    ref<cls_INI> root = cls_INI::create();
    ref<cls_INIGroups> groups = cls_INIGroups::create();
    if (!groups->IMPORT(path, false, root)) return;
    std::ostringstream first;
    if (!export_ini(*groups, first, {}, root.get()).diagnostics.empty()) return;
    ref<cls_INI> root2 = cls_INI::create();
    ref<cls_INIGroups> back = cls_INIGroups::create();
    if (!back->IMPORT(second.write(first.str()), false, root2)) {
        report("the exported text does not import", first.str());
        tr47fuzz::fail("groups: exported text does not import");
    }
    const std::string difference = test::tree_difference(*groups, root.get(), *back, root2.get());
    if (!difference.empty()) {
        report(difference, first.str());
        tr47fuzz::fail("groups: the tree read back differs");
    }
    std::ostringstream again;
    const export_result r = export_ini(*back, again, {}, root2.get());
    if (!r.diagnostics.empty() || again.str() != first.str()) {
        report("second export", again.str());
        tr47fuzz::fail("groups: the second export differs");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static tr47fuzz::MemoryFile input, second;
    const std::string& path = input.write(data, size);
    // A clear error from hostile input ends that round trip; it is no finding.
    try {
        document_round_trip(path, second);
    } catch (const Error&) {
    }
    try {
        groups_round_trip(path, second);
    } catch (const Error&) {
    }
    return 0;
}
