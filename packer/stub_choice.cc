#include "packer/stub_choice.h"

#include "packer/names.h"
#include "packer/pack_error.h"
#include "packer/pe/pe_image.h"

// Both stubs, from embedded_stub.S.
extern "C" {
extern const unsigned char tavren_embedded_stub[];
extern const unsigned char tavren_embedded_stub_end[];
extern const unsigned char tavren_embedded_stub_arm64[];
extern const unsigned char tavren_embedded_stub_arm64_end[];
}

const char* launcher_arch_name(launcher_arch arch) { return arch == launcher_arch::arm64 ? "arm64" : "x64"; }

bool launcher_arch_of_machine(uint16_t machine, launcher_arch* arch) {
  if (machine == pe_machine_amd64)
    *arch = launcher_arch::x64;
  else if (machine == pe_machine_arm64)
    *arch = launcher_arch::arm64;
  else
    return false;
  return true;
}

const unsigned char* embedded_stub(launcher_arch arch) {
  return arch == launcher_arch::arm64 ? tavren_embedded_stub_arm64 : tavren_embedded_stub;
}

size_t embedded_stub_size(launcher_arch arch) {
  return static_cast<size_t>(arch == launcher_arch::arm64 ? tavren_embedded_stub_arm64_end - tavren_embedded_stub_arm64
                                                          : tavren_embedded_stub_end - tavren_embedded_stub);
}

launcher_arch choose_launcher_arch(const std::string& requested, uint16_t stub_machine, uint16_t main_machine,
                                   const std::string& main_display) {
  launcher_arch arch = launcher_arch::x64, stub_arch = launcher_arch::x64, main_arch = launcher_arch::x64;
  bool have_stub = stub_machine && launcher_arch_of_machine(stub_machine, &stub_arch);
  bool have_main = main_machine && launcher_arch_of_machine(main_machine, &main_arch);
  if (requested == "arm64")
    arch = launcher_arch::arm64;
  else if (requested.empty())
    arch = have_main ? main_arch : have_stub ? stub_arch : launcher_arch::x64;
  else if (requested != "x64")
    throw pack_error("--arch " + quote_name(requested) + " is neither x64 nor arm64", exit_usage);
  if (have_stub && stub_arch != arch)
    throw pack_error(std::string("the --stub is an ") + launcher_arch_name(stub_arch) + " launcher, not the " +
                         launcher_arch_name(arch) + " one this build needs",
                     exit_usage);
  if (have_main && main_arch != arch)
    throw pack_error("main file " + quote_name(main_display) + " is built for " + launcher_arch_name(main_arch) +
                         "; an " + launcher_arch_name(arch) + " launcher cannot run it",
                     exit_usage);
  return arch;
}
