#include "packer/build_manifest.h"

#include "packer/manifest_xml.h"
#include "packer/mapped_file.h"
#include "packer/names.h"
#include "packer/pack_error.h"

std::string build_manifest(const manifest_request& request, std::vector<std::string>& warnings) {
  if (request.file.empty()) {
    manifest_settings settings;
    settings.level = request.level.value_or(execution_level::as_invoker);
    settings.dpi = request.dpi;
    settings.utf8 = request.utf8;
    return launcher_manifest(settings);
  }
  if (request.level || request.dpi != dpi_awareness::unaware || request.utf8)
    throw pack_error(
        "--manifest is the whole manifest: put the execution level, DPI awareness or code page in it "
        "instead of giving --uac-admin, --uac-level, --dpi-aware or --utf8",
        exit_usage);
  mapped_file file(request.file, request.file);
  std::string text(reinterpret_cast<const char*>(file.data()), file.size());
  manifest_facts facts = read_manifest(text);
  if (!facts.fault.empty())
    throw pack_error("manifest " + quote_name(request.file) + " is not a well-formed manifest: " + facts.fault,
                     exit_usage);
  if (!facts.long_path_aware)
    warnings.push_back("manifest " + quote_name(request.file) +
                       " does not turn on longPathAware: the application cannot use paths of 260 characters or more");
  if (facts.supported_os == 0)
    warnings.push_back("manifest " + quote_name(request.file) +
                       " lists no supportedOS: Windows 8 and later run the launcher with the compatibility "
                       "settings of Vista");
  return text;
}
