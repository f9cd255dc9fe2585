// Lets the header and IID file that widl makes from TR47_INI.idl compile on
// Linux: the platform names they use are mapped onto server/automation.h,
// the COM-like layer of the Linux server. Only what those two files use is
// here; the C function-table branch of widl's header is not compiled.
#pragma once

#ifndef _WIN32

#include <cstdint>

#include "server/automation.h"

using namespace tr47com;

typedef std::int32_t LONG;
typedef std::uint32_t UINT;
typedef std::uint16_t WORD;
typedef OLECHAR* LPOLESTR;

// Interface declarations: C++ structs with one calling convention.
#ifndef interface
#define interface struct
#endif
#define MIDL_INTERFACE(x) struct
#define DECLSPEC_UUID(x)
#define DECLSPEC_SELECTANY
#define STDMETHODCALLTYPE
#define BEGIN_INTERFACE
#define END_INTERFACE
#define CONST_VTBL const
#define __RPC_USER
#define EXTERN_C extern "C"

// Declares the identifiers; widl's IID file (-u) defines them.
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) EXTERN_C const GUID name

#endif
