#!/usr/bin/env bash
# The Debian package on its own: unpacked into an empty folder (dpkg-deb -x), its tavren-pack
# and CMake package config build examples/hello as an outside project would (MinGW toolchain,
# find_package(Tavren), tavren_add_onefile), and the executable runs under Wine. Nothing from
# this build tree is used but the package file.
# The Windows zip's tavren-pack.exe starts and names the same version.
# Usage: installed_package_test.sh DEB_FILE VERSION ZIP_FILE
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
deb=$1 version=$2 zip=$3
[ -f "$deb" ] || { echo "no package $deb: run make package first"; exit 1; }
work=$(mktemp -d /tmp/tavren-package-test-XXXXXX)
trap 'rm -rf "$work"' EXIT
root="$work/root"
dpkg-deb -x "$deb" "$root"

for doc in LICENSE THIRD-PARTY-NOTICES.txt README.md; do
  [ -f "$root/usr/share/doc/tavren-pack/$doc" ] || { echo "package lacks $doc"; exit 1; }
done
[ "$("$root/usr/bin/tavren-pack" --version)" = "tavren-pack $version" ]

# The project is copied out, so its build cannot reach this tree's packer through relative paths.
cp -r "$top/examples/hello" "$work/hello"
cp "$top/cmake/mingw-w64.cmake" "$work/toolchain.cmake"
PATH=/usr/bin:/bin cmake -S "$work/hello" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" -DTavren_DIR="$root/usr/lib/cmake/Tavren" >"$work/configure.log" \
  || { cat "$work/configure.log"; exit 1; }
grep -q "$root/usr/bin/tavren-pack" "$work/build/build.ninja" || { echo "the build does not use the packaged packer"; exit 1; }
PATH=/usr/bin:/bin cmake --build "$work/build" >"$work/build.log" || { cat "$work/build.log"; exit 1; }

# Into a file, not a pipe: Wine's own services may keep a pipe open long after the program ends.
set +e
"$top/scripts/wine-run" "$work/build/hello.exe" one "two words" </dev/null >"$work/run.log" 2>&1
code=$?
set -e
output=$(cat "$work/run.log")
printf '%s\n' "$output"
[ $code = 2 ] || { echo "exit code $code, expected 2 (the argument count)"; exit 1; }
grep -q "Hello from a packed application!" <<<"$output"
grep -q "argv\[2\] = two words" <<<"$output"
grep -q "data file says: " <<<"$output"

# Rebuilt when an input changes: a changed data file reaches the executable.
before=$(sha256sum <"$work/build/hello.exe")
echo "changed" >>"$work/hello/data/text/greeting.txt"
cmake --build "$work/build" >/dev/null
[ "$(sha256sum <"$work/build/hello.exe")" != "$before" ] || { echo "hello.exe not rebuilt after a data change"; exit 1; }

# CACHED, UAC_ADMIN and UNPACK_DIR reach the packer: the second target's executable is a cached
# launcher that asks for an administrator and unpacks beside itself, its small payload cut into
# frames by content; MANIFEST puts the third's own manifest in, and SIGN_PAYLOAD signs its
# library with a throwaway certificate.
echo 'tavren_add_onefile(hello_cached MAIN_TARGET hello_library FILES data PRODUCT "Hello" CACHED UAC_ADMIN
                   DPI_AWARE system UNPACK_DIR "{PROGRAM_DIR}\\.app-files"
                   FRAME_CUT content FRAME_SIZE 4K RSYNCABLE)' >>"$work/hello/CMakeLists.txt"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 -subj /CN=Hello \
  -batch 2>/dev/null
openssl pkcs12 -export -out "$work/hello/test.p12" -inkey "$work/key.pem" -in "$work/cert.pem" -passout pass:
printf '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"><trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security><requestedPrivileges><requestedExecutionLevel level="highestAvailable"/></requestedPrivileges></security></trustInfo></assembly>\n' \
  >"$work/hello/own.manifest"
echo 'tavren_add_onefile(hello_own MAIN_TARGET hello_library PRODUCT "Hello" MANIFEST own.manifest
                   SIGN test.p12 SIGN_PAYLOAD)' \
  >>"$work/hello/CMakeLists.txt"
cmake --build "$work/build" --target hello_cached hello_own >/dev/null 2>&1
listing=$("$root/usr/bin/tavren-pack" list "$work/build/hello_cached.exe")
grep -q ", cached, key " <<<"$listing" || { echo "hello_cached.exe is not a cached launcher"; exit 1; }
grep -qx "execution level: requireAdministrator" <<<"$listing" \
  || { echo "hello_cached.exe does not ask for an administrator"; exit 1; }
grep -qx 'unpack folder: {PROGRAM_DIR}\\.app-files' <<<"$listing" \
  || { echo "hello_cached.exe does not unpack beside itself"; exit 1; }
verified=$("$root/usr/bin/tavren-pack" verify "$work/build/hello_cached.exe")
grep -q " frames unpacked side by side" <<<"$verified" \
  || { echo "hello_cached.exe holds one frame: FRAME_CUT and FRAME_SIZE did not reach the packer"; exit 1; }
listing=$("$root/usr/bin/tavren-pack" list "$work/build/hello_own.exe")
grep -qx "execution level: highestAvailable" <<<"$listing" \
  || { echo "hello_own.exe does not carry its own manifest"; exit 1; }
grep -qP "\thello\.dll\tsigned$" <<<"$listing" || { echo "hello_own.exe carries an unsigned library"; exit 1; }
osslsigncode verify -CAfile "$work/cert.pem" "$work/build/hello_own.exe" >/dev/null \
  || { echo "hello_own.exe is not signed"; exit 1; }

# An executable target as the main file: examples/tool, an ordinary console program, built the
# same way; its launcher is a console one that runs it with its file beside it.
cp -r "$top/examples/tool" "$work/tool"
PATH=/usr/bin:/bin cmake -S "$work/tool" -B "$work/tool-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" -DTavren_DIR="$root/usr/lib/cmake/Tavren" >"$work/configure.log" \
  && PATH=/usr/bin:/bin cmake --build "$work/tool-build" >"$work/build.log" || { cat "$work/configure.log" "$work/build.log"; exit 1; }
"$root/usr/bin/tavren-pack" list "$work/tool-build/tool_onefile.exe" | grep -qx "entry: executable, console" \
  || { echo "tool_onefile.exe does not start its executable"; exit 1; }
set +e
"$top/scripts/wine-run" "$work/tool-build/tool_onefile.exe" "two words" >"$work/run.log" 2>&1
code=$?
set -e
[ $code = 0 ] && grep -q "arg 1: two words" "$work/run.log" && grep -q "motd: " "$work/run.log" \
  || { cat "$work/run.log"; echo "tool_onefile.exe: exit code $code"; exit 1; }

mkdir "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$zip")
packer_exe="$work/zip/tavren-onefile-$version-windows-x64/bin/tavren-pack.exe"
[ "$("$top/scripts/wine-run" "$packer_exe" --version)" = "tavren-pack $version" ] \
  || { echo "the zip's tavren-pack.exe does not give its version"; exit 1; }
echo "installed package: hello.exe and tool_onefile.exe built and run; the zip's packer starts"
