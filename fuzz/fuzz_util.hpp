// Shared helpers of the fuzz targets.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tr47ini/tr47ini.hpp"

namespace tr47fuzz {

// An in-memory file that the library opens by path, rewritten per input.
class MemoryFile {
public:
    MemoryFile() {
        fd_ = memfd_create("tr47fuzz", 0);
        if (fd_ < 0) std::abort();
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    const std::string& write(const std::uint8_t* data, std::size_t size) {
        if (ftruncate(fd_, 0) != 0 || pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
        return path_;
    }
    const std::string& write(const std::string& bytes) {
        return write(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }

private:
    int fd_ = -1;
    std::string path_;
};

// Aborts with a message: the fuzzer reports it as a finding.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

// Packs the object, unpacks that into a fresh one and checks that the fresh
// object's package survives another unpack and pack unchanged. (The first
// unpack may settle an empty identifier into an empty text; nothing after.)
template <class T>
void check_package_stable(const tr47::ref<T>& object, const char* what) {
    std::string package = object->DATA()->pack();
    tr47::ref<T> once = T::create(), twice = T::create();
    once->DATA()->unpack(package);
    const std::string settled = once->DATA()->pack();
    std::string copy = settled;
    twice->DATA()->unpack(copy);
    if (twice->DATA()->pack() != settled) fail(what);
}

} // namespace tr47fuzz
