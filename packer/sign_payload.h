// Signing every Windows binary of the application before it is packed, for policies that
// check each library as it loads, not only the signed launcher.
#pragma once

#include <string>

#include "packer/app_scan.h"
#include "packer/sign_launcher.h"
#include "packer/temp_output.h"

struct payload_signing {
  int signed_files = 0;  ///< PE files signed into copies
  int kept = 0;          ///< PE files that came with a matching signature and are packed as they are
};

/// Every entry of `contents` that is a PE image by its content (not its name): one carrying an
/// Authenticode signature whose digest matches the file is left as it is (a vendor's
/// signature is never replaced); any other is signed with `request` into a copy in `work`,
/// and the entry then points at the copy with its new size. The application folder is only
/// read. Throws pack_error naming the file when the tool fails.
payload_signing sign_payload_files(const std::string& tool, const signing_request& request, app_contents& contents,
                                   temp_folder& work);
