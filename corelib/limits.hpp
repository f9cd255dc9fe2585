// Resource limits that input cannot pass.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tr47::limits {

// Longest physical or logical INI line, in bytes.
constexpr std::size_t kMaxLineBytes = std::size_t{256} << 20;
// Nested copy, pack, unpack, store and read calls (each tree level of
// groups counts two: the group and its CHILDREN collection).
constexpr int kMaxDataNesting = 4000;
// Native stack kept free by those nested calls; below it they fail like
// nesting that is too deep.
constexpr std::size_t kStackReserveBytes = std::size_t{1} << 20;
// Items one list split may hold: a line of separators cannot cost an item
// per character.
constexpr std::size_t kMaxListItems = std::size_t{1} << 22;
// Diagnostics kept per import; problems beyond are still shown as messages.
constexpr std::size_t kMaxDiagnostics = 10000;
// Largest stored file LOAD accepts. 64 bits wide: as a 32-bit size it
// would wrap to 0, and a 32-bit build would refuse every file.
constexpr std::uint64_t kMaxStoredFileBytes = std::uint64_t{4} << 30;
static_assert(kMaxStoredFileBytes == 4294967296u, "4 GiB on every target");

} // namespace tr47::limits
