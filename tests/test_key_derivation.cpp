// The key of a protected file: PBKDF2-HMAC-SHA256 against published
// vectors and the platform, and the second thread that derives it.
#include <gtest/gtest.h>

#include <string>

#include "corelib/key_derivation.hpp"
#include "corelib/platform.hpp"
#include "corelib/stored_file.hpp"
#include "tests/support/helpers.hpp"

using namespace tr47;

namespace {
std::string hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
    return out;
}
} // namespace

// Published PBKDF2-HMAC-SHA256 vectors, then the SHA-extension path against
// the platform's implementation across the padding and key-length borders
// (message tails of 55/56/64 bytes, passwords longer than a block, outputs
// that are not a whole number of blocks).
TEST(KeyDerivation, MatchesPublishedVectorsAndThePlatform) {
    struct Vector {
        const char *password, *salt;
        std::uint32_t iterations;
        std::size_t length;
        const char* expected;
    };
    const Vector vectors[] = {
        {"password", "salt", 1, 32, "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b"},
        {"password", "salt", 2, 32, "ae4d0c95af6b46d32d0adff928f06dd02a303f8ef3c251dfd6e2d85a95474c43"},
        {"password", "salt", 4096, 32, "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"},
        {"passwd", "salt", 1, 64,
         "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc49ca9cccf179b645991664b39d77ef317c71b845b1e30"
         "b"
         "d509112041d3a19783"},
        {"Password", "NaCl", 80000, 64,
         "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56a1d425a1225833549adb841b51c9b3176a272bdebba1d"
         "0"
         "78478f62b397f33c8d"},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.password + std::to_string(v.iterations));
        EXPECT_EQ(hex(detail::pbkdf2_sha256(v.password, v.salt, v.iterations, v.length)), v.expected);
        EXPECT_EQ(hex(detail::platform::derive_key(v.password, v.salt, v.iterations, v.length)), v.expected);
    }
    if (!detail::key_derivation_uses_sha_extensions()) GTEST_SKIP() << "no SHA extensions on this processor";
    std::string password, salt;
    for (std::size_t n = 0; n <= 140; ++n) {
        password += static_cast<char>(n * 37 + 1);
        salt += static_cast<char>(255 - n);
        const std::uint32_t iterations = 1 + static_cast<std::uint32_t>(n % 4) * 7;
        const std::size_t length = n % 3 == 0 ? 32 : n % 3 == 1 ? 1 + n % 70 : 65;
        SCOPED_TRACE(n);
        ASSERT_EQ(hex(detail::pbkdf2_sha256_extensions(password, salt.substr(0, n % 70), iterations, length)),
                  hex(detail::platform::derive_key(password, salt.substr(0, n % 70), iterations, length)));
        ASSERT_EQ(hex(detail::pbkdf2_sha256_extensions(password.substr(0, n % 9), salt, iterations, length)),
                  hex(detail::platform::derive_key(password.substr(0, n % 9), salt, iterations, length)));
    }
}

// The key of a protected file. New files: four PBKDF2 lanes of a quarter
// of the iterations each, the salt followed by the lane's number, hashed
// together with SHA-256; files of earlier versions: one lane. Pinned,
// since any change would leave every saved file unreadable.
TEST(KeyDerivation, StoredFileKeysInOneAndFourLanes) {
    std::string salt;
    for (char c = 0; c < 16; ++c) salt += c;
    const std::string password = "p\xC3\xA4sswort";
    EXPECT_EQ(hex(detail::derive_stored_file_key(password, salt, 1001, 4)),
              "854c217a16a64474675c18effa939a4a42e7c9dd5b7c640d235adda6477f0902");
    EXPECT_EQ(hex(detail::derive_stored_file_key(password, salt, 1, 4)),
              "b3ac46aa41fce305ab6020a19efa3a090d1a5ff662787f3870dbd8e0731d2c12");
    EXPECT_EQ(hex(detail::derive_stored_file_key(password, salt, 1001, 1)),
              "9bb7183e4d94bff6df66afbcb34b69ca7077ee6188def7b8c6a7961c0e965dd4");

    // Two chains computed together give what each gives alone, across the
    // padding borders of the first message and passwords beyond a block.
    for (const std::string& p : {std::string("pw"), std::string(64, 'k'), std::string(65, 'l')})
        for (std::size_t saltBytes :
             {std::size_t{0}, std::size_t{51}, std::size_t{52}, std::size_t{60}, std::size_t{61}}) {
            const std::string a(saltBytes, 'a'), b = std::string(saltBytes, 'b') + "\x01";
            std::string first, second;
            detail::pbkdf2_sha256_two(p, a, b, 3, first, second);
            EXPECT_EQ(first, detail::platform::derive_key(p, a, 3, 32)) << p.size() << " " << saltBytes;
            EXPECT_EQ(second, detail::platform::derive_key(p, b, 3, 32)) << p.size() << " " << saltBytes;
        }
}

// The key of a protected file is derived on a second thread while the file
// is read: the work must run exactly once, its error must come back from
// join(), and a task given up without join() must still be waited for.
TEST(Background, RunsOnceRethrowsAndIsWaitedFor) {
    int runs = 0;
    {
        detail::platform::Background task([&] { ++runs; });
        task.join();
        EXPECT_EQ(runs, 1);
        task.join(); // a second join neither runs nor throws
    }
    EXPECT_EQ(runs, 1);
    detail::platform::Background failing([] { raise(hr::BAD_FILE_FORMAT, "Bad file format: test"); });
    try {
        failing.join();
        ADD_FAILURE() << "join() did not rethrow";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), hr::BAD_FILE_FORMAT);
    }
    std::string result;
    {
        detail::platform::Background slow([&] { result = detail::pbkdf2_sha256("p", "salt", 20000); });
    }
    EXPECT_EQ(result, detail::pbkdf2_sha256("p", "salt", 20000));
}
