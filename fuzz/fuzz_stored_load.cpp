// LOAD of arbitrary bytes, with and without a password. The first byte picks
// the mode: raw file bytes, or the rest as a payload that is framed (mode 1)
// or encrypted (mode 2) first, so that the value-stream reader is reached
// past the checksum and the authentication tag.
#include "corelib/stored_file.hpp"
#include "fuzz/fuzz_util.hpp"
#include "tr47ini/tr47ini.hpp"

using namespace tr47;

namespace {

const char* const kPassword = "fuzz";

// LOAD into one of the four loadable classes; a successful LOAD must leave
// an object whose package is stable under unpack and pack.
template <class T>
void load_into(const std::string& path, const std::string& password) {
    ref<T> object = T::create();
    if (object->LOAD(path, password))
        tr47fuzz::check_package_stable(object, "package of a loaded object is not stable");
}

void load_all(const std::string& path, const std::string& password, std::uint8_t which) {
    switch (which % 4) {
    case 0: load_into<cls_INI>(path, password); break;
    case 1: load_into<cls_INIGroups>(path, password); break;
    case 2: load_into<cls_INIValues>(path, password); break;
    default: load_into<cls_INIEnums>(path, password); break;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Files this target seals use one iteration; the cost of the key
    // derivation is not what is being tested.
    detail::set_password_iterations(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static tr47fuzz::MemoryFile file;
    if (size < 2) return 0;
    const std::uint8_t mode = data[0], which = data[1];
    const std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
    try {
        switch (mode % 3) {
        case 0: {
            const std::string& path = file.write(rest);
            load_all(path, "", which);
            // A raw protected file with a large work factor would only make
            // the key derivation slow; keep those out of the password run.
            const bool cheap = rest.size() < 16 || (std::uint8_t(rest[14]) == 0 && std::uint8_t(rest[15]) == 0 &&
                                                    std::uint8_t(rest[13]) < 4);
            if (cheap) load_all(path, kPassword, which);
            break;
        }
        case 1: load_all(file.write(detail::seal_stored_file(rest, "")), "", which); break;
        default: {
            const std::string& path = file.write(detail::seal_stored_file(rest, kPassword));
            load_all(path, kPassword, which);
            load_all(path, "wrong", which);
            break;
        }
        }
    } catch (const Error&) {
        // LOAD itself never throws; a round-trip check may meet a clear error.
    }
    return 0;
}
