# Two commands do everything on a fresh machine: `make demo` and `make test`.
SHELL := /bin/bash
TOP := $(CURDIR)
OUT := $(TOP)/out
JOBS ?= $(shell nproc)

.PHONY: all setup native win test demo fuzz clean

all: setup native win

setup:
	@if [ "$$(id -u)" = 0 ]; then ./scripts/setup; else sudo ./scripts/setup; fi

native: setup
	@cmake -S . -B $(OUT)/native -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(OUT)/native -j $(JOBS)

win: setup native
	@cmake -S . -B $(OUT)/win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DTAVREN_PACK=$(OUT)/bin/tavren-pack >/dev/null
	@cmake --build $(OUT)/win -j $(JOBS)

test: all
	@./scripts/run-tests

demo: all
	@./scripts/demo

clean:
	rm -rf $(OUT)/native $(OUT)/win $(OUT)/bin $(OUT)/lib
