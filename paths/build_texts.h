// Texts fixed when an executable is built (company, product, versions), zero-terminated
// UTF-16. Each executable links exactly one definition: a packed launcher points them at the
// texts the packer appended before anything reads them; tests define their own.
#pragma once

#include <wchar.h>

extern "C" {
extern const wchar_t* tavren_company_text;
extern const wchar_t* tavren_product_text;
extern const wchar_t* tavren_file_version_text;
extern const wchar_t* tavren_product_version_text;
}
