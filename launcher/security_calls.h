// The Advapi32 calls the launcher makes, bound on first use. Importing Advapi32 costs every
// Wine process start 10 to 25 ms (it brings Sechost and Ucrtbase along), and only a run
// that makes a private folder or removes one needs it: neither a warm cached start nor the
// default run's child does.
#pragma once

#include <windows.h>
#include <aclapi.h>

/// The functions of the same names.
struct security_functions {
  decltype(&::AddAccessAllowedAceEx) AddAccessAllowedAceEx;
  decltype(&::AddMandatoryAce) AddMandatoryAce;
  decltype(&::CreateWellKnownSid) CreateWellKnownSid;
  decltype(&::EqualSid) EqualSid;
  decltype(&::GetSecurityInfo) GetSecurityInfo;
  decltype(&::GetTokenInformation) GetTokenInformation;
  decltype(&::InitializeAcl) InitializeAcl;
  decltype(&::InitializeSecurityDescriptor) InitializeSecurityDescriptor;
  decltype(&::OpenProcessToken) OpenProcessToken;
  decltype(&::SetSecurityDescriptorControl) SetSecurityDescriptorControl;
  decltype(&::SetSecurityDescriptorDacl) SetSecurityDescriptorDacl;
  decltype(&::SetSecurityDescriptorOwner) SetSecurityDescriptorOwner;
  decltype(&::SetSecurityDescriptorSacl) SetSecurityDescriptorSacl;
};

/// Loads Advapi32 from the system folder on the first call and returns its functions, or
/// null (the last error set) when it or any of them is missing.
const security_functions* security_calls();
