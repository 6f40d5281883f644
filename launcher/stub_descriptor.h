// The launcher stub's descriptor: a fixed-size record in the stub's read-only data that the
// packer fills in when it appends a payload and the build texts to a copy of the stub. The
// launcher reads only the fields, as offsets from its own image base; the marker exists for
// the packer, which finds the record by it in the file.
#pragma once

#include <stddef.h>
#include <stdint.h>

/// The first 16 bytes of the descriptor (15 characters and a zero), unique in a stub's file.
#define TAVREN_STUB_MARKER "TAVREN-STUB-V01"
constexpr size_t stub_marker_size = 16;

/// Which build text a text_rva slot holds.
enum stub_text : unsigned { stub_company, stub_product, stub_file_version, stub_product_version, stub_text_count };

/// Little-endian, as both ends are. A zero payload_size means "never filled in": the launcher
/// then treats its payload as missing. A zero text address stands for an empty text.
struct stub_descriptor {
  char marker[stub_marker_size];
  uint64_t payload_size;               ///< L, the blob's length in bytes
  uint32_t payload_rva;                ///< the blob's first byte, relative to the image base
  uint32_t text_rva[stub_text_count];  ///< zero-terminated UTF-16 texts, relative to the image base
  uint32_t reserved;                   ///< zero
};

static_assert(sizeof(stub_descriptor) == 48, "the packer writes the fields at fixed offsets");
static_assert(offsetof(stub_descriptor, payload_size) == 16 && offsetof(stub_descriptor, payload_rva) == 24 &&
                  offsetof(stub_descriptor, text_rva) == 28,
              "the packer writes the fields at fixed offsets");
