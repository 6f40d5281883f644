// Build-time texts for test executables; a packed launcher gets them from the packer.
#include "paths/build_texts.h"

extern "C" {
const wchar_t* tavren_company_text = L"Tavren Test \"Co\" \\ \x00e9";
const wchar_t* tavren_product_text = L"Test Product";
const wchar_t* tavren_file_version_text = L"1.2.3.4";
const wchar_t* tavren_product_version_text = L"5.6.7.8";
}
