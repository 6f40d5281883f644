// The launcher stub's descriptor: a fixed-size record in the stub's read-only data that the
// packer fills in when it appends a payload and the build texts to a copy of the stub. The
// launcher reads only the fields, as offsets from its own image base; the marker exists for
// the packer, which finds the record by it in the file.
#pragma once

#include <stddef.h>
#include <stdint.h>

/// The first 16 bytes of the descriptor (15 characters and a zero), unique in a stub's file.
#define TAVREN_STUB_MARKER "TAVREN-STUB-V03"
/// The marker of the second layout, 64 bytes without the unpack folder and the splash; the
/// packer still reads launchers made with it.
#define TAVREN_STUB_MARKER_V02 "TAVREN-STUB-V02"
constexpr size_t stub_descriptor_v02_size = 64;
/// The marker of the first layout, 48 bytes without the cache fields; the packer still reads
/// the payload of launchers made with it.
#define TAVREN_STUB_MARKER_V01 "TAVREN-STUB-V01"
constexpr size_t stub_marker_size = 16;

/// How a launcher runs, bits of stub_descriptor::mode; zero is the per-run folder with a child.
/// Cached: unpack once into the user's cache folder and run from there.
constexpr uint32_t stub_mode_cached = 1;
/// With cached: compare every file's digest with the launcher's table on every start.
constexpr uint32_t stub_mode_verify_digests = 2;

/// The main file is an executable that the launcher starts as its child in either mode, not a
/// library whose run_code it calls. Without it (and in launchers of the first layout): a library.
constexpr uint32_t stub_mode_executable = 4;
/// With executable: the executable is of the console subsystem (else windowed). Only shown.
constexpr uint32_t stub_mode_executable_console = 8;

/// One entry of the digest table of a launcher that checks digests, in payload order:
/// SHA-256 of the content, the size (u64 LE), then the name as UTF-16LE units and a zero unit.
constexpr size_t stub_digest_record_fixed = 32 + 8;

/// The splash record a launcher built with a splash carries, 16-byte aligned: width, height,
/// the timeout in seconds and a zero (u32 LE each), then width * height pixels as
/// premultiplied BGRA, rows top to bottom, as a layered window takes them.
constexpr size_t stub_splash_header_size = 16;
/// Longest side of a splash image in pixels: its pixels add at most 4 MiB to the launcher.
constexpr uint32_t stub_splash_side_max = 1024;

/// Which build text a text_rva slot holds.
enum stub_text : unsigned { stub_company, stub_product, stub_file_version, stub_product_version, stub_text_count };

/// Little-endian, as both ends are. A zero payload_size means "never filled in": the launcher
/// then treats its payload as missing. A zero text address stands for an empty text.
struct stub_descriptor {
  char marker[stub_marker_size];
  uint64_t payload_size;               ///< L, the blob's length in bytes
  uint32_t payload_rva;                ///< the blob's first byte, relative to the image base
  uint32_t text_rva[stub_text_count];  ///< zero-terminated UTF-16 texts, relative to the image base
  uint32_t mode;                       ///< stub_mode_ bits; zero for the default run
  unsigned char content_key[8];        ///< the payload's content key (cached launchers)
  uint32_t digests_rva;                ///< the digest table, relative to the image base, or zero
  uint32_t digest_count;               ///< its entries: one per payload entry
  /// The template of the folder that run folders (or a cached launcher's product folders) are
  /// made under, a zero-terminated UTF-16 text relative to the image base; zero: the default.
  uint32_t unpack_dir_rva;
  uint32_t splash_rva;  ///< the splash record, relative to the image base, or zero
};

static_assert(sizeof(stub_descriptor) == 72, "the packer writes the fields at fixed offsets");
static_assert(offsetof(stub_descriptor, payload_size) == 16 && offsetof(stub_descriptor, payload_rva) == 24 &&
                  offsetof(stub_descriptor, text_rva) == 28 && offsetof(stub_descriptor, mode) == 44 &&
                  offsetof(stub_descriptor, content_key) == 48 && offsetof(stub_descriptor, digests_rva) == 56 &&
                  offsetof(stub_descriptor, digest_count) == 60 && offsetof(stub_descriptor, unpack_dir_rva) == 64 &&
                  offsetof(stub_descriptor, splash_rva) == 68,
              "the packer writes the fields at fixed offsets");
