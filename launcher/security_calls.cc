#include "launcher/security_calls.h"

#include <atomic>

#include "base/system_library.h"

namespace {

bool bind_all(security_functions& f) {
  // Only from the system folder: a planted advapi32.dll elsewhere is never loaded.
  HMODULE m = load_system_library(L"advapi32.dll");
  return m && bind_function(m, "AddAccessAllowedAceEx", &f.AddAccessAllowedAceEx) &&
         bind_function(m, "AddMandatoryAce", &f.AddMandatoryAce) &&
         bind_function(m, "CreateWellKnownSid", &f.CreateWellKnownSid) && bind_function(m, "EqualSid", &f.EqualSid) &&
         bind_function(m, "GetSecurityInfo", &f.GetSecurityInfo) &&
         bind_function(m, "GetTokenInformation", &f.GetTokenInformation) &&
         bind_function(m, "InitializeAcl", &f.InitializeAcl) &&
         bind_function(m, "InitializeSecurityDescriptor", &f.InitializeSecurityDescriptor) &&
         bind_function(m, "OpenProcessToken", &f.OpenProcessToken) &&
         bind_function(m, "SetSecurityDescriptorControl", &f.SetSecurityDescriptorControl) &&
         bind_function(m, "SetSecurityDescriptorDacl", &f.SetSecurityDescriptorDacl) &&
         bind_function(m, "SetSecurityDescriptorOwner", &f.SetSecurityDescriptorOwner) &&
         bind_function(m, "SetSecurityDescriptorSacl", &f.SetSecurityDescriptorSacl);
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
