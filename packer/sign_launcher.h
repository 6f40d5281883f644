// Authenticode signing of a finished launcher with osslsigncode, so a release is one command.
#pragma once

#include <string>

/// The signing tool; looked up on PATH.
constexpr const char signing_tool[] = "osslsigncode";

struct signing_request {
  std::string pkcs12;         ///< certificate and key
  std::string password_file;  ///< optional: the PKCS#12 password on its first line
  std::string timestamp_url;  ///< optional: an RFC 3161 time-stamping service
};

/// The tool's path. Throws pack_error when it is not on PATH or an input file cannot be read,
/// so the caller can stop before any work.
std::string find_signing_tool(const signing_request& request);

/// Signs `input` into `output` (SHA-256), the tool's messages going to `log`. Throws
/// pack_error "signing the launcher failed (...)" followed by what the tool said.
void sign_launcher(const std::string& tool, const signing_request& request, const std::string& input,
                   const std::string& output, const std::string& log);
