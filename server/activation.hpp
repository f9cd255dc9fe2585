// Client-side activation: create an object by programmatic identifier, as
// a client of the platform would, through the registry file and the
// server's entry points. Needs nothing of the model's headers.
#pragma once

#include <string>

#include "automation.h"

namespace tr47com {

// Looks the programmatic identifier up in the registry, loads the server
// library it names (once) and creates an object through its class object.
HRESULT CreateObjectByProgID(const std::string& progid, IDispatch** out);

// The server's DllCanUnloadNow for the library loaded by activation (S_OK
// when nothing is outstanding); E_FAIL when no library was loaded.
HRESULT CanUnloadServer();

// Automation strings and variants on the client side (same layout as the
// server's, the memory of the process allocator).
BSTR AllocBstr(std::u16string_view text);
void FreeBstr(BSTR text);
void ClearVariant(VARIANT* v);

} // namespace tr47com
