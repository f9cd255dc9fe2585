// Marks the library's public API. The library is compiled with hidden
// symbols, so a shared libTR47_INI exports what this macro marks and
// nothing else; a static library and its users are unaffected.
#pragma once

#if defined(_WIN32)
// The Windows build links the library statically into TR47_INI.dll, whose
// exports are the server's entry points only.
#define TR47_INI_API
#elif defined(__GNUC__)
#define TR47_INI_API __attribute__((visibility("default")))
#else
#define TR47_INI_API
#endif
