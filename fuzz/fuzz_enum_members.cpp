// An enumeration's member text. Whatever is imported must survive a copy.
#include "fuzz/fuzz_util.hpp"
#include "tr47ini/tr47ini.hpp"

using namespace tr47;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        ref<cls_INIEnum> e = cls_INIEnum::create();
        e->IMPORT(text);
        ref<cls_INIEnum> copy = cls_INIEnum::create();
        copy->DATA()->copy(e);
        if (copy->DATA()->pack() != e->DATA()->pack()) tr47fuzz::fail("copied enumeration differs");
    } catch (const Error&) {
    }
    return 0;
}
