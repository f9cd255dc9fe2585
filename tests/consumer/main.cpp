// Uses the installed headers and library: a look-up, the version, and an
// error raised across the library boundary and caught here.
#include <cstdio>
#include <cstring>

#include <tr47ini/tr47ini.hpp>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    if (std::strcmp(tr47::library_version(), TR47_INI_VERSION_STRING) != 0) {
        std::printf("library %s, headers %s\n", tr47::library_version(), TR47_INI_VERSION_STRING);
        return 1;
    }
    tr47::ref<tr47::cls_INI> doc = tr47::cls_INI::create();
    if (!doc->IMPORT(argv[1])) return 1;
    const tr47::Variant port = doc->VALUE("Port");
    bool raised = false;
    try {
        doc->ROOT()->CHILDREN()->Item(tr47::Variant("Sever"), false)->VALUE("Port");
    } catch (const tr47::Error& e) {
        raised = e.code() == tr47::hr::OBJECT_NOT_SET;
    }
    std::printf("consumer: Port %s, version %s, missing group raised %s\n", port.to_text().c_str(),
                tr47::library_version(), raised ? "yes" : "no");
    return port.to_text() == "8080" && raised ? 0 : 1;
}
