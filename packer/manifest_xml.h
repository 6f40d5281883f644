// Reading an application manifest as XML: whether it is well-formed with an assembly root,
// and the few settings the packer reports or warns about. Any bytes are safe input.
#pragma once

#include <stddef.h>

#include <string>

/// What read_manifest found in a manifest.
struct manifest_facts {
  std::string fault;             ///< why the text is not a manifest ("line 3: ..."); empty when it is
  std::string level;             ///< requestedExecutionLevel's level attribute; empty when none is given
  bool long_path_aware = false;  ///< a longPathAware element that says true
  size_t supported_os = 0;       ///< supportedOS elements
};

/// Checks that `bytes` is well-formed XML 1.0 whose root element is `assembly` (with or
/// without a namespace prefix), without a document type declaration, and collects its facts.
/// Element names are compared without their prefix. Read as Windows reads a manifest: UTF-8,
/// or UTF-16 in either byte order, with or without a byte-order mark; NULs at the end and
/// white space before the XML declaration are allowed. Line numbers count in the decoded text.
manifest_facts read_manifest(const std::string& bytes);
