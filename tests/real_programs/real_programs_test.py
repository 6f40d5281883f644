#!/usr/bin/env python3
"""Real Windows programs nobody here wrote, packed as they ship and run under Wine beside the
same program run directly from its folder: output, exit code and standard input must be the
same, the program must see the launcher's path where it can report it, and the run must leave
nothing behind.

  real_programs_test.py --program NAME --direct EXE --launcher EXE --mode default|cached --witness EXE

The direct run goes through the witness (tests/programs/exit_code_witness.cc), which reads the
program's exit code from the system as the launcher does: Wine's Unix exit status can lose a
multi-threaded runtime's code as 0 (seen with elm-format under Wine 10 on a loaded machine).

The programs come from npm packages that scripts/setup fetched (pinned there); the build unpacks
each one and packs its folder with --main. `wine` is the first in PATH, so scripts/run-tests runs
this suite under Wine 8 and Wine 10. A program that cannot run under a Wine at all (the reason is
given below) prints "SKIPPED: ..." there, which CTest counts as skipped; the other Wine runs it."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
COMPANY = "Tavren Test"


def wine(args, stdin=b"", env=None, cwd=None, timeout=600):
    """Runs a Windows program with its output in files (Wine's services may hold a pipe open for
    as long as the server lives). Returns (exit status, stdout bytes, stderr bytes)."""
    with tempfile.TemporaryFile() as given, tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        given.write(stdin)
        given.seek(0)
        status = subprocess.call(["timeout", "-k", "5", str(timeout), "wine"] + args, stdin=given, stdout=out,
                                 stderr=err, env=dict(os.environ, **(env or {})), cwd=cwd)
        out.seek(0)
        err.seek(0)
        return status, out.read(), err.read()


def wine_major():
    text = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout
    found = re.match(r"wine-(\d+)", text)
    return int(found.group(1)) if found else 0


def windows_path(unix):
    return subprocess.run(["winepath", "-w", unix], capture_output=True, text=True).stdout.strip()


# Each program: the Wine it needs (and why), and its cases: (name, arguments, standard input).
# The cases print nothing that depends on where the program lies, so the packed run's output
# must equal the direct run's byte for byte. ARGS_PROBE names the case whose output carries
# what the program reports of its own path and of the launcher's (None where it cannot).
PROGRAMS = {
    # Go: current Go programs need bcryptprimitives.dll, which Wine 8 lacks.
    "esbuild": {
        "needs": (10, "Wine 8 lacks bcryptprimitives.dll, which current Go programs need"),
        "cases": [
            ("version", ["--version"], b""),
            ("stdin", ["--minify", "--loader=ts"], b"let  answer : number = 40 + 2;\nconsole.log( answer )\n"),
            ("error", ["--loader=js"], b"let x = ;\n"),
            ("arguments", ["--define:WHO=\"two words\"", "--log-level=warning"], b"console.log(WHO)\n"),
        ],
    },
    # C: a 64 MB static build.
    "ffmpeg": {
        "needs": (8, ""),
        "cases": [
            ("version", ["-hide_banner", "-version"], b""),
            ("stdin", ["-hide_banner", "-loglevel", "error", "-f", "s16le", "-ar", "8000", "-ac", "1", "-i", "pipe:0",
                       "-f", "md5", "pipe:1"], bytes(range(256)) * 64),
            ("error", ["-hide_banner", "-no-such-option"], b""),
        ],
    },
    # Haskell (GHC's runtime).
    "elm-format": {
        "needs": (8, ""),
        "cases": [
            ("stdin", ["--stdin", "--elm-version=0.19"], b"module Main exposing (main)\nmain =   text \"hi\"\n"),
            ("error", ["--stdin", "--elm-version=0.19"], b"module Main exposing (\n"),
        ],
    },
    # Rust and V8: a 97 MB executable. Under Wine 8 it exits with code 53 before running anything.
    "deno": {
        "needs": (10, "deno exits with code 53 under Wine 8 before it runs a line"),
        "env": {"NO_COLOR": "1"},
        "cases": [
            ("stdin", ["run", "-A", "-"],
             b"console.log(['one', 'two words'].join('|'));\nconsole.error('leaving');\nDeno.exit(7);\n"),
            ("probe", ["eval", "console.log(Deno.env.get('TAVREN_ONEFILE_EXECUTABLE') ?? '-');"
                       "console.log(Deno.execPath()); console.log(JSON.stringify(Deno.args))",
                       "a b", "", "c\"d", "e\\\\"], b""),
        ],
        "probe": "probe",
    },
}


def listing(folder):
    return sorted(os.listdir(folder)) if os.path.isdir(folder) else []


def run_suite(options):
    program = PROGRAMS[options.program]
    needs, reason = program["needs"]
    major = wine_major()
    if major < needs:
        print(f"SKIPPED: {options.program} under Wine {major}: {reason}")
        return
    # The launchers unpack into a folder of this test's own on the prefix's drive (named by the
    # variable that moves every launcher's unpack folder), so that what a run leaves is told
    # apart from what other tests, running alongside, have in the temporary folder.
    folder_name = f"tavren_real_{options.program}_{options.mode}"
    unpack_windows = "C:\\" + folder_name
    unpack = os.path.join(os.environ["WINEPREFIX"], "drive_c", folder_name)
    shutil.rmtree(unpack, ignore_errors=True)
    os.makedirs(unpack)
    env = dict(program.get("env", {}), TAVREN_ONEFILE_UNPACK_DIR=unpack_windows)
    launcher_windows = windows_path(options.launcher)
    direct_windows = windows_path(options.direct)
    work = tempfile.mkdtemp(prefix="real-program-")
    failures = []
    try:
        # Cached mode twice over: the first start installs, the second runs from the cache.
        rounds = 2 if options.mode == "cached" else 1
        for name, args, given in program["cases"]:
            direct = wine([options.witness, direct_windows] + args, given, env, cwd=work)
            for start in range(rounds):
                packed = wine([options.launcher] + args, given, env, cwd=work)
                label = f"{name} (start {start + 1})"
                if name == program.get("probe"):
                    failures += check_probe(label, packed, launcher_windows, options.mode, unpack_windows, direct)
                    continue
                for what, a, b in (("exit code", direct[0], packed[0]), ("standard output", direct[1], packed[1]),
                                   ("standard error", direct[2], packed[2])):
                    if a != b:
                        failures.append(f"{label}: {what} differs\n  direct: {a!r:.600}\n  packed: {b!r:.600}")
            print(f"{name}: exit {direct[0]}, {len(direct[1])} bytes out, {len(direct[2])} bytes err")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    # Nothing left behind. Below a chosen unpack folder every user works in a folder of their
    # own, named by their SID: in default mode it is empty, in cached mode it holds the
    # product's one build folder and nothing beside it.
    users = listing(unpack)
    if len(users) != 1 or not users[0].startswith("S-1-"):
        failures.append(f"the unpack folder holds {users}, not the user's own folder alone")
    else:
        own = os.path.join(unpack, users[0])
        product_folder = os.path.join(own, COMPANY, "Real " + options.program)
        if options.mode == "default" and listing(own):
            failures.append(f"left in the unpack folder: {listing(own)}")
        if options.mode == "cached" and (listing(own) != [COMPANY] or len(listing(product_folder)) != 1):
            failures.append(f"the unpack folder holds {list(os.walk(own))[:3]}, not one build folder")
    if failures:
        print("\n".join(failures))
        sys.exit(1)
    shutil.rmtree(unpack, ignore_errors=True)


def check_probe(label, packed, launcher_windows, mode, unpack_windows, direct):
    """The program reports the launcher's path from TAVREN_ONEFILE_EXECUTABLE and its own path;
    the direct run has no launcher and runs from its folder."""
    failures = []
    lines = packed[1].decode(errors="replace").splitlines()
    if packed[0] != 0 or len(lines) != 3:
        return [f"{label}: exit {packed[0]}, output {packed[1]!r:.600}, errors {packed[2]!r:.600}"]
    executable, own, arguments = lines
    if [arguments] != direct[1].decode(errors="replace").splitlines()[-1:]:
        failures.append(f"{label}: the arguments arrive as {arguments!r}, directly as {direct[1]!r}")
    if executable.lower() != launcher_windows.lower():
        failures.append(f"{label}: TAVREN_ONEFILE_EXECUTABLE is {executable!r}, the launcher is {launcher_windows!r}")
    # Below the user's own folder (named by their SID) in the chosen unpack folder.
    prefix = unpack_windows + "\\S-1-"
    rest = own[len(prefix):].split("\\", 1)[-1] if own.lower().startswith(prefix.lower()) else None
    home = "onefile_" if mode == "default" else COMPANY + "\\"
    if rest is None or not rest.lower().startswith(home.lower()):
        failures.append(f"{label}: the program runs from {own!r}, not below {prefix}<SID>\\{home}")
    if direct[1].decode(errors="replace").splitlines()[:1] != ["-"]:
        failures.append(f"{label}: the direct run sees a launcher: {direct[1]!r}")
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True, choices=sorted(PROGRAMS))
    parser.add_argument("--direct", required=True)
    parser.add_argument("--launcher", required=True)
    parser.add_argument("--mode", required=True, choices=["default", "cached"])
    parser.add_argument("--witness", required=True)
    options = parser.parse_args()
    options.direct, options.launcher, options.witness = (os.path.abspath(path) for path in
                                                         (options.direct, options.launcher, options.witness))
    for needed in (options.direct, options.launcher, options.witness):
        if not os.path.isfile(needed):
            print(f"missing {needed}: scripts/setup fetches the real programs and the build packs them (make test does both)")
            return 1
    run_suite(options)
    print(f"passed: {options.program}, {options.mode} mode")
    return 0


if __name__ == "__main__":
    sys.exit(main())
