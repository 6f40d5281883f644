// Whether a downloaded release may replace the running launcher. The running launcher's own
// descriptor is the anchor: its company, product, version and processor, and the policy and
// publisher key the packer gave it.
#pragma once

#include <stddef.h>
#include <wchar.h>

#include "formats/launcher_update.h"

/// Units of `why` that hold every reason the check gives, with its terminator.
constexpr size_t update_why_capacity = 128;

/// Keeps the running launcher's facts for later checks: the policy and key from `own`, its
/// descriptor as the packer filled it in, the build texts (already pointed at the packed
/// texts) and the processor of its own image. The entry calls it once, before the run.
void update_check_prepare(const stub_descriptor* own);

/// Checks a candidate launcher, the whole file in memory, against the running launcher: one
/// of ours (a stub descriptor), the same company and product, the same processor, a version
/// not older unless `allow_downgrade`, and the signature the running launcher's pack-time
/// policy demands. True when it may replace the running launcher; otherwise false with one
/// line (no period) saying why in `why`, such as "its update signature does not match this
/// launcher's publisher key"; `why_capacity` of update_why_capacity holds any. Without
/// update_check_prepare every candidate is refused.
bool update_candidate_acceptable(const unsigned char* file, size_t size, bool allow_downgrade, wchar_t* why,
                                 size_t why_capacity);

/// The same check against the launcher whose facts are `running`, read from its file.
bool update_candidate_acceptable_to(const launcher_update_facts& running, const unsigned char* file, size_t size,
                                    bool allow_downgrade, wchar_t* why, size_t why_capacity);
