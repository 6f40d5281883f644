# Two commands do everything on a fresh machine: `make demo` and `make test`.
SHELL := /bin/bash
TOP := $(CURDIR)
OUT := $(TOP)/out
JOBS ?= $(shell nproc)

.PHONY: all setup setup-demo stub native win checked test demo package fuzz fuzz-merge clean

all: setup native win

# Everything the build and the tests need; `make demo` sets up only its own part, which is
# quick, and leaves the rest (the ARM64 runtime and root, Wine 10, the real programs) to this.
setup:
	@if [ "$$(id -u)" = 0 ]; then ./scripts/setup; else sudo ./scripts/setup; fi

setup-demo:
	@if [ "$$(id -u)" = 0 ]; then ./scripts/setup demo; else sudo ./scripts/setup demo; fi

WIN_CONFIGURE = cmake -S . -B $(OUT)/win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DTAVREN_PACK=$(OUT)/bin/tavren-pack >/dev/null

ARM64_CONFIGURE = cmake -S . -B $(OUT)/arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-w64-mingw32.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null

# The launcher stubs first, x64 and ARM64: the native packer carries both inside.
stub: setup
	@$(WIN_CONFIGURE)
	@cmake --build $(OUT)/win -j $(JOBS) --target tavren-launcher
	@$(ARM64_CONFIGURE)
	@cmake --build $(OUT)/arm64 -j $(JOBS)

NATIVE_CONFIGURE = cmake -S . -B $(OUT)/native -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVREN_ARM64_STUB=$(1) >/dev/null

native: setup stub
	@$(call NATIVE_CONFIGURE,REQUIRED)
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

# The Debian package and the Windows zip in out/packages; the tests install the package.
package: all
	@./scripts/package

test: all checked package
	@./scripts/run-tests

# Exploration: every fuzz target with a random seed for SECONDS (default 3600) each, or RUNS
# inputs, from its checked-in seeds plus what earlier explorations found. New inputs collect
# in out/fuzz-found/<name>/ (outside the build trees, so `make clean` keeps them), crashes
# as out/fuzz-found/<name>-crash-*; a crash fails the run after the other targets had theirs.
FUZZ_TARGETS := payload_decoder command_line blob_reader launcher_update delta manifest_xml
FUZZ_FOUND := $(OUT)/fuzz-found
FUZZ_FLAGS := -max_len=65536 -timeout=10 -rss_limit_mb=2048

fuzz: checked
	@status=0; for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_FOUND)/$$t; \
	  if $(OUT)/fuzz/fuzz/$${t}_fuzz -seed=0 -max_total_time=$(or $(SECONDS),3600) -runs=$(or $(RUNS),-1) \
	       $(FUZZ_FLAGS) -artifact_prefix=$(FUZZ_FOUND)/$$t- $(FUZZ_FOUND)/$$t fuzz/corpus/$$t \
	       >$(FUZZ_FOUND)/$$t.log 2>&1; then \
	    echo "$$t: $$(grep -m1 -o 'Seed: [0-9]*' $(FUZZ_FOUND)/$$t.log), $$(tail -n 1 $(FUZZ_FOUND)/$$t.log)"; \
	  else \
	    status=1; echo "$$t: FAILED (log: $(FUZZ_FOUND)/$$t.log)"; \
	    grep -E 'ERROR|runtime error|SUMMARY|Test unit written' $(FUZZ_FOUND)/$$t.log; \
	  fi; \
	done; exit $$status

# Adds the inputs `make fuzz` found that reach code the seeds do not, as new files in
# fuzz/corpus/<name>/ for you to commit (libFuzzer's -merge=1 keeps only what adds coverage).
fuzz-merge: checked
	@for t in $(FUZZ_TARGETS); do \
	  [ -d $(FUZZ_FOUND)/$$t ] || continue; \
	  before=$$(ls fuzz/corpus/$$t | wc -l); \
	  $(OUT)/fuzz/fuzz/$${t}_fuzz -merge=1 $(FUZZ_FLAGS) fuzz/corpus/$$t $(FUZZ_FOUND)/$$t \
	    >$(FUZZ_FOUND)/$$t-merge.log 2>&1 || { tail -n 20 $(FUZZ_FOUND)/$$t-merge.log; exit 1; }; \
	  echo "$$t: $$(( $$(ls fuzz/corpus/$$t | wc -l) - before )) new seeds in fuzz/corpus/$$t"; \
	done

# Only what the demo runs: the x64 stub, the native packer (carrying the ARM64 stub only where
# an earlier `make test` built it) and the examples.
demo: setup-demo
	@$(WIN_CONFIGURE)
	@cmake --build $(OUT)/win -j $(JOBS) --target tavren-launcher
	@$(call NATIVE_CONFIGURE,IF_BUILT)
	@cmake --build $(OUT)/native -j $(JOBS) --target tavren-pack
	@cmake --build $(OUT)/win -j $(JOBS) --target hello_folder echo tool_folder
	@./scripts/demo

clean:
	rm -rf $(OUT)/native $(OUT)/win $(OUT)/arm64 $(OUT)/asan $(OUT)/fuzz $(OUT)/bin $(OUT)/lib
