#include "launcher/security_calls.h"

#include <atomic>

#include "base/system_library.h"

namespace {

template <class Function>
bool bind(HMODULE module, const char* name, Function* to) {
  *to = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *to != nullptr;
}

bool bind_all(security_functions& f) {
  // Only from the system folder: a planted advapi32.dll elsewhere is never loaded.
  HMODULE m = load_system_library(L"advapi32.dll");
  return m && bind(m, "AddAccessAllowedAceEx", &f.AddAccessAllowedAceEx) &&
         bind(m, "AddMandatoryAce", &f.AddMandatoryAce) &&
         bind(m, "CreateWellKnownSid", &f.CreateWellKnownSid) && bind(m, "EqualSid", &f.EqualSid) &&
         bind(m, "GetSecurityInfo", &f.GetSecurityInfo) && bind(m, "GetTokenInformation", &f.GetTokenInformation) &&
         bind(m, "InitializeAcl", &f.InitializeAcl) &&
         bind(m, "InitializeSecurityDescriptor", &f.InitializeSecurityDescriptor) &&
         bind(m, "OpenProcessToken", &f.OpenProcessToken) &&
         bind(m, "SetSecurityDescriptorControl", &f.SetSecurityDescriptorControl) &&
         bind(m, "SetSecurityDescriptorDacl", &f.SetSecurityDescriptorDacl) &&
         bind(m, "SetSecurityDescriptorOwner", &f.SetSecurityDescriptorOwner) &&
         bind(m, "SetSecurityDescriptorSacl", &f.SetSecurityDescriptorSacl);
}

}  // namespace

// Two threads may bind at once (a console event's clean-up beside the main thread); both
// store the same module's addresses, so the race is harmless once the flag is published last.
const security_functions* security_calls() {
  static security_functions functions;
  static std::atomic<bool> bound{false};
  if (bound.load(std::memory_order_acquire)) return &functions;
  security_functions found = {};
  if (!bind_all(found)) return nullptr;
  functions = found;
  bound.store(true, std::memory_order_release);
  return &functions;
}
