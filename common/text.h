// Text helpers shared by several modules.
#pragma once

#include "common/log.h"

#include <cstddef>

// printf-style formatting into a caller-supplied buffer, cut to fit and always
// terminated; does nothing when out is null or cap is 0.
void text_format_into(char* out, size_t cap, const char* fmt, ...) IVRA_PRINTF(3, 4);
