#!/usr/bin/env python3
"""Test payload maker: writes an entry stream and wraps it as a blob, for tests only.

Entries are NAME=SOURCE, where SOURCE is @FILE (its bytes), #N (N deterministic pseudo-random
bytes), or text:TEXT. Layout switches let tests build well-formed and deliberately odd blobs.
Compression goes through the zstd command-line tool.
"""
import argparse
import pathlib
import random
import re
import struct
import subprocess
import sys


def format_constants():
    """The container's constants as formats/payload.h defines them, so a blob made here is laid
    out exactly as the launcher and the packer expect."""
    header = pathlib.Path(__file__).resolve().parents[2] / 'formats' / 'payload.h'
    values = {}
    for line in header.read_text().splitlines():
        m = re.match(r'constexpr \w+ (\w+)(?:\[\])? = (?:"([^"]*)"|(0x[0-9A-Fa-f]+|\d+));$', line)
        if m:
            values[m.group(1)] = m.group(2) if m.group(2) is not None else int(m.group(3), 0)
    return values


FORMAT = format_constants()


def content(source, seed):
    if source.startswith('@'):
        with open(source[1:], 'rb') as f:
            return f.read()
    if source.startswith('#'):
        rng = random.Random(seed)
        n = int(source[1:])
        return bytes(rng.getrandbits(8) for _ in range(n)) if n < 1 << 16 else rng.randbytes(n)
    if source.startswith('text:'):
        return source[5:].encode('utf-8')
    raise SystemExit(f'make_blob: bad source {source!r}')


def entry_pieces(entries):
    pieces = []
    for i, spec in enumerate(entries):
        name, _, source = spec.partition('=')
        data = content(source, i)
        pieces.append(name.encode('utf-16-le') + b'\0\0' + struct.pack('<Q', len(data)) + data)
    return pieces


def entry_stream(entries, end_marker, trailing):
    out = b''.join(entry_pieces(entries))
    if end_marker:
        out += b'\0\0'
    return out + trailing


def split_region(entries, groups, level, checksum, end_marker, trailing, sized):
    """The split note, then `groups` frames of whole entries (as even in count as can be), the
    end marker and any trailing bytes in the last; each says its content size when `sized`."""
    pieces = entry_pieces(entries)
    note = FORMAT['payload_split_note'].encode('ascii')
    out = struct.pack('<II', FORMAT['payload_split_note_magic'], len(note)) + note
    for g in range(groups):
        chunk = b''.join(pieces[g * len(pieces) // groups:(g + 1) * len(pieces) // groups])
        if g == groups - 1:
            chunk += (b'\0\0' if end_marker else b'') + trailing
        out += compress(chunk, level, checksum, None, 1, sized)
    return out


def compress(data, level, checksum, window_log, frames, sized=False):
    pieces = [data] if frames <= 1 else [data[i * len(data) // frames:(i + 1) * len(data) // frames]
                                         for i in range(frames)]
    out = b''
    for piece in pieces:
        cmd = ['zstd', '-q', '-c', f'-{level}', '--check' if checksum else '--no-check']
        if window_log:
            cmd.append(f'--zstd=wlog={window_log}')
        if sized:
            cmd.append(f'--stream-size={len(piece)}')
        out += subprocess.run(cmd, input=piece, stdout=subprocess.PIPE, check=True).stdout
    return out


def main():
    p = argparse.ArgumentParser()
    p.add_argument('-o', '--output', required=True)
    p.add_argument('--level', type=int, default=3)
    p.add_argument('--no-check', action='store_true')
    p.add_argument('--window-log', type=int)
    p.add_argument('--frames', type=int, default=1, help='cut the stream into this many frames')
    p.add_argument('--split', type=int, default=0,
                   help='cut the stream between entries into this many frames behind the split note')
    p.add_argument('--unsized', action='store_true', help='split frames do not say their content size')
    p.add_argument('--no-end-marker', action='store_true')
    p.add_argument('--trailing', default='', help='hex bytes decoded after the end marker')
    p.add_argument('--magic', default=FORMAT['payload_magic'])
    p.add_argument('--fill-byte', type=lambda s: int(s, 0), default=0)
    p.add_argument('--trailer', type=lambda s: int(s, 0), help='override the trailer value')
    p.add_argument('--cut', type=int, help='keep only this many bytes of the finished blob')
    p.add_argument('--stream-only', action='store_true', help='write the decoded stream, no blob')
    p.add_argument('entries', nargs='*')
    a = p.parse_args()

    stream = entry_stream(a.entries, not a.no_end_marker, bytes.fromhex(a.trailing))
    if a.stream_only:
        blob = stream
    else:
        blob = bytearray(a.magic.encode('latin-1'))
        if a.split:
            blob += split_region(a.entries, a.split, a.level, not a.no_check, not a.no_end_marker,
                                 bytes.fromhex(a.trailing), not a.unsized)
        else:
            blob += compress(stream, a.level, not a.no_check, a.window_log, a.frames)
        blob += bytes([a.fill_byte]) * ((-len(blob)) % FORMAT['payload_trailer_alignment'])
        blob += struct.pack('<Q', len(blob) if a.trailer is None else a.trailer)
        if a.cut is not None:
            blob = blob[:a.cut]
    with open(a.output, 'wb') as f:
        f.write(blob)


if __name__ == '__main__':
    sys.exit(main())
