/* Stand-in for the launcher's entry library: it refers to every symbol the packer's
   generated assembly defines, so a link succeeds only when all of them are there. */
#include <wchar.h>

extern const unsigned char attached_payload[];
extern const unsigned long long attached_payload_size;
extern const wchar_t tavren_company_text[];
extern const wchar_t tavren_product_text[];
extern const wchar_t tavren_file_version_text[];
extern const wchar_t tavren_product_version_text[];

#ifndef NO_ENTRY
int __stdcall wWinMain(void* instance, void* previous, wchar_t* line, int show) {
  (void)instance; (void)previous; (void)line; (void)show;
  return (int)(attached_payload[0] + attached_payload_size + tavren_company_text[0] + tavren_product_text[0] +
               tavren_file_version_text[0] + tavren_product_version_text[0]);
}
#endif
