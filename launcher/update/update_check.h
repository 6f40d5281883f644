// Stand-in for the acceptance check until it lands: the same interface.
#pragma once

#include <stddef.h>
#include <wchar.h>

bool update_candidate_acceptable(const unsigned char* file, size_t size, bool allow_downgrade, wchar_t* why,
                                 size_t why_capacity);
