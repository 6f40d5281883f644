#!/usr/bin/env python3
"""A console launcher typed at an interactive cmd.exe on a pseudo-terminal, as a user runs a
command-line tool: cmd waits for it, so the application's output comes before the next prompt,
and %ERRORLEVEL% then holds the application's exit code.

    interactive_cmd_test.py <console launcher with report_app packed in>

Every step waits for what cmd prints, never for a clock. Exit 0 on success, 1 on failure,
77 (skipped) when there is no `script` to give cmd a pseudo-terminal."""
import os
import re
import select
import shutil
import subprocess
import sys

PROMPT = "TVP>"
# Wine's console draws through the terminal: colour, cursor and title sequences, and a space
# at a line's end as erase-and-move. Markers are matched on the text without them.
ESCAPES = re.compile(r"\x1b\][^\x07]*\x07|\x1b\[[0-9;?]*[A-Za-z]")


class Session:
    def __init__(self, command):
        self.process = subprocess.Popen(["script", "-qec", command, "/dev/null"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.raw = b""

    def text(self):
        return ESCAPES.sub("", self.raw.decode("utf-8", "replace"))

    def type(self, line):
        # The console takes a carriage return as Enter; a line feed would stay in the line.
        self.process.stdin.write(line.encode() + b"\r")
        self.process.stdin.flush()

    def wait_for(self, found, since):
        """Reads until found(text after `since`) gives a result, and returns it."""
        while True:
            result = found(self.text()[since:])
            if result is not None:
                return result
            ready, _, _ = select.select([self.process.stdout], [], [])
            chunk = os.read(self.process.stdout.fileno(), 65536) if ready else b""
            if not chunk:
                fail("cmd ended before the expected output")
            self.raw += chunk


def fail(why):
    print("FAILED: " + why)
    print("--- transcript (escape sequences removed) ---")
    print(session.text() if session else "")
    sys.exit(1)


def next_prompt(text):
    # The real prompt starts a line; the console's redraw of a typed line starts with a bare CR.
    at = text.find("\n" + PROMPT)
    return at if at >= 0 else None


session = None
if shutil.which("script") is None:
    print("[  SKIPPED ] no `script` command to give cmd a pseudo-terminal")
    sys.exit(77)
launcher = "Z:" + os.path.abspath(sys.argv[1]).replace("/", "\\")
top = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
os.environ.setdefault("WINEPREFIX", os.path.join(top, "out", "wine"))
os.environ.update(WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
os.environ.pop("TAVREN_TEST_WAIT", None)

# Until the console switches the terminal to raw input, the terminal itself would echo what is
# typed and turn the carriage return into a line feed: set that up before cmd starts instead.
session = Session("stty -icrnl -icanon -echo; exec wine cmd")
session.wait_for(lambda t: 0 if ">" in t else None, 0)
mark = len(session.text())
session.type("prompt " + PROMPT.replace(">", "$G"))
session.wait_for(next_prompt, mark)
mark = len(session.text())
session.type("set TAVREN_TEST_EXIT=3")
session.wait_for(next_prompt, mark)

mark = len(session.text())
session.type(launcher + ' first "second arg"')
prompt_at = session.wait_for(next_prompt, mark)
before_prompt = session.text()[mark:mark + prompt_at]
for line in ("argc=3", "argv1=first", "argv2=second"):
    if line not in before_prompt:
        fail("%r did not arrive before the next prompt: cmd did not wait for the launcher" % line)

mark = len(session.text())
session.type("echo errorlevel=%ERRORLEVEL%")
code = session.wait_for(lambda t: (re.search(r"errorlevel=(\d+)", t) or [None, None])[1], mark)
if code != "3":
    fail("%%ERRORLEVEL%% is %s, not the application's 3" % code)
session.type("exit")
session.process.stdin.close()
session.process.stdout.read()
session.process.wait()
print("ok: output before the prompt, ERRORLEVEL 3")
