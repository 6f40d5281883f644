#include "payload/payload.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/diagnostics.h"
#include "payload/frame_extract.h"
#include "payload/stream_decoder.h"
#include "payload/entry_stream.h"

static const unsigned char* payload_blob_end;
static const unsigned char* payload_position;
static payload_decoder decoder;
static void (*failure_hook)();

void payload_on_failure(void (*before_exit)()) { failure_hook = before_exit; }

[[noreturn]] static void fail_decoding() {
  if (failure_hook) failure_hook();
  fatal_plain("Error, couldn't decode attached data.");
}

void payload_set_blob(const unsigned char* blob, size_t size) {
  payload_position = blob;
  payload_blob_end = blob + size;
}

bool payload_check_magic() {
  // A blob shorter than the magic would be read past its end, and the decoder's input size
  // would wrap below zero.
  if (static_cast<size_t>(payload_blob_end - payload_position) < payload_magic_size) {
    payload_position = payload_blob_end;
    return false;
  }
  bool match = memcmp(payload_position, payload_magic, payload_magic_size) == 0;
  payload_position += payload_magic_size;
  return match;
}

void payload_open() {
  if (decoder_open(&decoder, payload_position, static_cast<size_t>(payload_blob_end - payload_position)) != decode_ok) {
    fatal_plain("Error, couldn't allocate memory.");
  }
}

void payload_read(void* destination, uint64_t count) {
  if (decoder_read(&decoder, destination, count) != decode_ok) fail_decoding();
}

static volatile bool payload_done = false;

unsigned payload_progress_permille() {
  // The blob's zero fill and trailer are never decoded: only the close says it is all done.
  if (payload_done) return 1000;
  unsigned side_by_side = frames_progress_permille();
  if (side_by_side != static_cast<unsigned>(-1)) return side_by_side;
  // Word-sized reads of fields only the decoding thread writes: a stale value, never a torn one.
  const volatile ZSTD_inBuffer& in = decoder.in;
  size_t size = in.size, read = in.pos;
  return size ? static_cast<unsigned>(static_cast<double>(read) / static_cast<double>(size) * 1000) : 0;
}

void payload_unread(const unsigned char** data, size_t* size) {
  *data = static_cast<const unsigned char*>(decoder.in.src) + decoder.in.pos;
  *size = decoder.in.size - decoder.in.pos;
}

void payload_close() {
  payload_done = true;
  decoder_close(&decoder);
}

// The entry walk reads names through the shared entry-stream code; only its failures are
// the launcher's own.
bool payload_read_name(wchar_t* name, size_t capacity) {
  size_t length = 0;
  decode_status why = decode_ok;
  switch (entry_read_name(&decoder, name, capacity, &length, &why)) {
    case entry_ok: return length > 0;
    case entry_name_too_long:
      if (failure_hook) failure_hook();
      abort();
    case entry_decode_failed: break;
  }
  fail_decoding();
}
