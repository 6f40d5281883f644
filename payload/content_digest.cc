#include "payload/content_digest.h"

void content_key_text(const unsigned char key[content_key_size], wchar_t text[2 * content_key_size + 1]) {
  static const wchar_t digits[] = L"0123456789abcdef";
  for (size_t i = 0; i < content_key_size; ++i) {
    text[2 * i] = digits[key[i] >> 4];
    text[2 * i + 1] = digits[key[i] & 15];
  }
  text[2 * content_key_size] = 0;
}
