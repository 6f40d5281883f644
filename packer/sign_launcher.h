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

/// Signs `input` into `output` (SHA-256), the tool's messages going to `log`. Without a
/// time-stamping service the signing time is SOURCE_DATE_EPOCH (0, 1970, when it is unset or
/// not a number), so the same input, certificate and options give the same bytes. Throws
/// pack_error "signing <what> failed (...)" followed by what the tool said.
void sign_file(const std::string& tool, const signing_request& request, const std::string& input,
               const std::string& output, const std::string& log, const std::string& what);

/// sign_file for the finished launcher.
inline void sign_launcher(const std::string& tool, const signing_request& request, const std::string& input,
                          const std::string& output, const std::string& log) {
  sign_file(tool, request, input, output, log, "the launcher");
}

/// True if the tool finds in `path` an Authenticode signature whose message digest matches the
/// file's own (every signature's, when it holds several). The certificate chain is not asked
/// about: that depends on the machine's trusted roots, not on the file.
bool signature_digest_matches(const std::string& tool, const std::string& path, const std::string& log);
