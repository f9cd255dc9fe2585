// TR47_INI: an object model for structured INI files.
#pragma once

#include "tr47ini/core.hpp"
#include "tr47ini/corelib.hpp"
#include "tr47ini/model.hpp"
#include "tr47ini/export.hpp"
#include "tr47ini/version.hpp"
#include "tr47ini/ini.hpp"
