// Platform header as widl's output includes it; see com_shim.h.
#pragma once
#include "com_shim.h"
