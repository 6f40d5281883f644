// Texts fixed when an executable is built (company, product, versions). Each executable
// links exactly one definition: the packer generates it for a packed launcher; tests link
// their own.
#pragma once

#include <wchar.h>

extern "C" {
extern const wchar_t tavren_company_text[];
extern const wchar_t tavren_product_text[];
extern const wchar_t tavren_file_version_text[];
extern const wchar_t tavren_product_version_text[];
}
