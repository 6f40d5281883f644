# Two commands do everything on a fresh machine: `make demo` and `make test`.
SHELL := /bin/bash
TOP := $(CURDIR)
OUT := $(TOP)/out
JOBS ?= $(shell nproc)

.PHONY: all setup stub native win checked test demo fuzz clean

all: setup native win

setup:
	@if [ "$$(id -u)" = 0 ]; then ./scripts/setup; else sudo ./scripts/setup; fi

WIN_CONFIGURE = cmake -S . -B $(OUT)/win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DTAVREN_PACK=$(OUT)/bin/tavren-pack >/dev/null

# The launcher stub first: the native packer carries it inside.
stub: setup
	@$(WIN_CONFIGURE)
	@cmake --build $(OUT)/win -j $(JOBS) --target tavren-launcher

native: setup stub
	@cmake -S . -B $(OUT)/native -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(OUT)/native -j $(JOBS)

win: setup native
	@$(WIN_CONFIGURE)
	@cmake --build $(OUT)/win -j $(JOBS)

# The byte-level code again under AddressSanitizer/UndefinedBehaviorSanitizer, and the fuzzers.
checked: setup stub
	@cmake -S . -B $(OUT)/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVREN_SANITIZE=ON >/dev/null
	@cmake --build $(OUT)/asan -j $(JOBS)
	@CC=clang-14 CXX=clang++-14 cmake -S . -B $(OUT)/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTAVREN_FUZZ=ON >/dev/null
	@cmake --build $(OUT)/fuzz -j $(JOBS)

test: all checked
	@./scripts/run-tests

fuzz: checked
	@cmake -S . -B $(OUT)/fuzz -DTAVREN_FUZZ_RUNS=$(or $(RUNS),2000000) -DTAVREN_FUZZ_SECONDS=$(or $(SECONDS),3600) >/dev/null
	@ctest --test-dir $(OUT)/fuzz --output-on-failure
	@cmake -S . -B $(OUT)/fuzz -DTAVREN_FUZZ_RUNS=20000 -DTAVREN_FUZZ_SECONDS=60 >/dev/null

demo: all
	@./scripts/demo

clean:
	rm -rf $(OUT)/native $(OUT)/win $(OUT)/asan $(OUT)/fuzz $(OUT)/bin $(OUT)/lib
