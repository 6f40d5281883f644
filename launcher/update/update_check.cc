#include "launcher/update/update_check.h"

bool update_candidate_acceptable(const unsigned char* file, size_t size, bool, wchar_t* why, size_t why_capacity) {
  if (size >= 2 && file[0] == 'M' && file[1] == 'Z') return true;
  swprintf(why, why_capacity, L"the new release is not a launcher");
  return false;
}
