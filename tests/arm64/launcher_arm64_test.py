#!/usr/bin/env python3
"""The ARM64 launcher end to end under the emulated Wine (scripts/arm64-wine): a real launcher
packed by the packer around the ARM64 report_app, started with real arguments.

  launcher_arm64_test.py --pack P --library DLL --work DIR CASE

CASE is one of the functions below. Where the emulation cannot run here, every case prints
"SKIPPED: <why>" (scripts/setup recorded why) and CTest counts it as skipped."""
import argparse
import os
import re
import subprocess
import sys
import tarfile
import tempfile

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE = os.path.join(TOP, "scripts", "arm64-wine")
ROOT = os.environ.get("TAVREN_ARM64_ROOT", os.path.join(TOP, "out", "arm64-root"))
STATUS = os.path.join(TOP, "out", "arm64-emulation")
# A real ARM64 program nobody here wrote (Go), as npm ships it; scripts/setup fetched it.
REAL_PROGRAM = os.path.join(TOP, "out", "real-programs", "esbuild-win32-arm64-0.28.2.tgz")


def emulated(args, env=None, timeout=300, stdin=b""):
    """Runs a command of the emulated Wine with its output in files (Wine's services may hold
    a pipe open for as long as the server lives). Returns (exit status, stdout, stderr)."""
    with tempfile.TemporaryFile() as given, tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        given.write(stdin)
        given.seek(0)
        status = subprocess.call(["timeout", "-k", "5", str(timeout), WINE] + args, stdin=given,
                                 stdout=out, stderr=err, env=dict(os.environ, **(env or {})))
        out.seek(0)
        err.seek(0)
        return status, out.read().decode("utf-8", "replace"), err.read().decode("utf-8", "replace")


def report(text):
    """report_app's key=value lines."""
    return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)


def host_path(windows_path):
    """Where a C: path of the emulated prefix lies on this machine."""
    assert windows_path[:3].upper() == "C:\\", windows_path
    return os.path.join(ROOT, "root", ".wine-arm", "drive_c", *windows_path[3:].split("\\"))


class Suite:
    def __init__(self, options):
        self.pack, self.work, self.witness = options.pack, options.work, options.witness
        os.makedirs(self.work, exist_ok=True)
        self.app = os.path.join(self.work, "app")
        os.makedirs(os.path.join(self.app, "data"), exist_ok=True)
        with open(options.library, "rb") as src, open(os.path.join(self.app, "report_app.dll"), "wb") as dst:
            dst.write(src.read())
        with open(os.path.join(self.app, "data", "readme.txt"), "w") as f:
            f.write("hello\n")

    def launcher(self, name, *extra, app=None, main="report_app.dll", kind="windowed"):
        exe = os.path.join(self.work, name + ".exe")
        subprocess.run([self.pack, "build", app or self.app, "--main", main, "-o", exe, "-q", *extra], check=True)
        listing = subprocess.run([self.pack, "list", exe], check=True, capture_output=True, text=True).stdout
        assert listing.startswith(f"launcher: {kind}, arm64\n"), listing
        return exe

    # The Wine server for the whole run, and Wine's own services started with nothing to
    # hold: see scripts/run-tests.
    def start_server(self):
        status, out, err = emulated(["wineserver", "-p"], timeout=120)
        assert status == 0, (status, out, err)
        emulated(["wine", "cmd", "/c", "exit"], timeout=300)

    def stop_server(self):
        emulated(["wineserver", "-k"], timeout=60)

    # The parent unpacks into a private folder below the temporary folder and starts the
    # child, which loads the main library from there; the parent ends with the child's code.
    def run_sequence(self):
        status, out, err = emulated(["wine", self.launcher("sequence")])
        assert status == 0, (status, out, err)
        seen = report(out)
        folder = seen["main_library"].rsplit("\\", 1)[0]
        assert re.fullmatch(r"C:\\users\\[^\\]+\\AppData\\Local\\Temp\\onefile_\d+_\d+_[A-Za-z0-9_-]+", folder), seen
        assert seen["module"] == seen["main_library"] and seen["main_library"].endswith("\\report_app.dll"), seen
        assert seen["TAVREN_ONEFILE_PARENT"] != seen["pid"], "the library runs in the child, not the parent"
        assert seen["argv0"].endswith("\\sequence.exe"), seen

    # The application sees exactly the arguments the launcher got.
    def arguments(self):
        given = ["plain", "two words", 'a "quoted" word', "back\\slash\\", "", "é€"]
        status, out, err = emulated(["wine", self.launcher("arguments"), *given])
        assert status == 0, (status, out, err)
        seen = report(out)
        assert seen["argc"] == str(len(given) + 1), seen
        assert [seen["argv%d" % (i + 1)] for i in range(len(given))] == given, seen

    # The application's exit code is the launcher's, a crash's too (Unix sees its low 8 bits).
    def exit_code(self):
        exe = self.launcher("exit_code")
        status, out, err = emulated(["wine", exe], env={"TAVREN_TEST_EXIT": "42"})
        assert status == 42, (status, out, err)
        status, out, err = emulated(["wine", exe], env={"TAVREN_TEST_EXIT": "0xC0000417"})
        assert status == 0x17, (status, out, err)

    # The private folder goes when the application ends, also when it crashed.
    def clean_up(self):
        exe = self.launcher("clean_up")
        for action in ("", "crash"):
            status, out, err = emulated(["wine", exe], env={"TAVREN_TEST_ACTION": action} if action else {})
            assert (status != 0) == bool(action), (action, status, out, err)
            folder = host_path(report(out)["main_library"]).rsplit("/", 1)[0]
            assert not os.path.exists(folder), (action, folder, os.listdir(folder))

    # A real ARM64 program packed as it ships runs through the ARM64 launcher as it runs from
    # its own folder: the same output, errors and exit code, its standard input read, and the
    # run's folder gone afterwards.
    def real_program(self):
        if not os.path.exists(REAL_PROGRAM):
            raise SystemExit(f"missing {REAL_PROGRAM}: scripts/setup fetches it (make test does)")
        app = os.path.join(self.work, "esbuild-arm64")
        with tarfile.open(REAL_PROGRAM) as tar:
            tar.extractall(app)
        folder = os.path.join(app, "package")
        exe = self.launcher("esbuild", "--product", "Real esbuild", app=folder, main="esbuild.exe", kind="console")
        source = b"let  answer : number = 40 + 2;\nconsole.log( answer )\n"
        temp = os.path.join(ROOT, "root", ".wine-arm", "drive_c", "users", "root", "AppData", "Local", "Temp")
        before = set(os.listdir(temp)) if os.path.isdir(temp) else set()
        for args, given in ((["--version"], b""), (["--minify", "--loader=ts"], source), (["--loader=js"], b"let x = ;\n")):
            # Directly through the witness, which reads the exit code from the system as the
            # launcher does: qemu has crashed at the end of a direct run of this Go program,
            # after its output, and its Unix status then said so instead.
            direct_exe = "Z:" + os.path.join(folder, "esbuild.exe").replace("/", "\\")
            direct = emulated(["wine", self.witness, direct_exe, *args], stdin=given, timeout=600)
            packed = emulated(["wine", exe, *args], stdin=given, timeout=600)
            assert direct == packed, (args, direct, packed)
        assert direct[0] == 1 and "error" in direct[2].lower(), direct
        left = set(os.listdir(temp)) - before if os.path.isdir(temp) else set()
        assert not left, left

    # A payload damaged after packing stops the launcher with its message and exit code 2,
    # before the application runs.
    def damaged_payload(self):
        exe = self.launcher("damaged")
        with open(exe, "r+b") as f:
            image = bytearray(f.read())
            pe = int.from_bytes(image[0x3C:0x40], "little")
            sections = pe + 24 + int.from_bytes(image[pe + 20:pe + 22], "little")
            for i in range(int.from_bytes(image[pe + 6:pe + 8], "little")):
                at = sections + 40 * i
                if image[at:at + 8].rstrip(b"\0") == b".payload":
                    size = int.from_bytes(image[at + 8:at + 12], "little")
                    offset = int.from_bytes(image[at + 20:at + 24], "little")
                    image[offset + size // 2] ^= 0x5A
            f.seek(0)
            f.write(image)
        status, out, err = emulated(["wine", exe])
        assert status == 2, (status, out, err)
        assert out.startswith("Error, ") and "argc=" not in out, (out, err)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pack", required=True)
    parser.add_argument("--library", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--witness", required=True)
    parser.add_argument("case")
    options = parser.parse_args()
    state = open(STATUS).read().strip() if os.path.exists(STATUS) else "scripts/setup has not run"
    if state != "ready":
        print("SKIPPED: no emulated Wine for ARM64 here: " + state)
        return 0
    suite = Suite(options)
    getattr(suite, options.case)()
    print("passed: " + options.case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
