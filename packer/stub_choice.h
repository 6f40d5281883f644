// Which of the launcher stubs a build completes. A DLL loads only into a process of its own
// processor, so the launcher must be built for the main file's: x64 or ARM64.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

enum class launcher_arch { x64, arm64 };

/// "x64" or "arm64": what --arch takes and list/verify print.
const char* launcher_arch_name(launcher_arch arch);

/// The architecture of a PE image with COFF machine field `machine`; false for one no
/// launcher of ours runs (i386, ARM32, ...).
bool launcher_arch_of_machine(uint16_t machine, launcher_arch* arch);

/// The stub built into this packer for `arch`.
const unsigned char* embedded_stub(launcher_arch arch);
size_t embedded_stub_size(launcher_arch arch);

/// The launcher's architecture for a build. `requested`: what --arch said ("x64", "arm64"),
/// or empty. `stub_machine`: the machine field of a --stub file, or 0. `main_machine`: the
/// main file's (a --payload build's first entry), or 0 when none a launcher runs. Without a request the main file
/// decides, then the stub, then x64. Throws pack_error with one line when they disagree: a
/// main file the chosen launcher could not load, or a --stub of the other architecture.
launcher_arch choose_launcher_arch(const std::string& requested, uint16_t stub_machine, uint16_t main_machine,
                                   const std::string& main_display);
