# One word for each job: make, make test, make run.
BUILD ?= build
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
DIR ?=
ARGS ?= -verify

.PHONY: all build test run deps clean install uninstall package windows test-windows \
        test-sanitize test-tsan fuzz bench lines

all: build

# A build folder is configured once CMake has written its generator's file
# there. A cache without that file is what a configuration that failed (a
# compiler or library not installed yet) or was stopped left behind; CMake
# would take the compilers and paths it cached then, so the cache goes and
# the folder is configured afresh.
clear_failed = if [ -f $(1)/CMakeCache.txt ] && [ ! -f $(1)/build.ninja ] && \
                  [ ! -f $(1)/Makefile ]; then \
                 echo "$(1): configured again, as its last configuration did not finish"; \
                 rm -rf $(1)/CMakeCache.txt $(1)/CMakeFiles; \
               fi
# Configures the build folder $(1) with the CMake options $(2), once.
configure = $(clear_failed); [ -f $(1)/CMakeCache.txt ] || cmake -S . -B $(1) $(GENERATOR) $(2)

build:
	@$(call configure,$(BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo)
	cmake --build $(BUILD) --parallel

# Installs the tools and libraries the build and tests need on Debian.
deps:
	@./scripts/install-deps.sh

test: deps
	$(MAKE) build
	cd $(BUILD) && ctest --output-on-failure --parallel 2
	@if [ "$(CI)" = true ] || [ -n "$(WINDOWS_TOOLS)" ]; then $(MAKE) test-windows; fi

# Runs the tool on a fresh temporary directory (or on DIR) and removes the
# temporary directory afterwards.
run: build
	@if [ -n "$(DIR)" ]; then \
	  ./$(BUILD)/dtk "$(DIR)" $(ARGS); \
	else \
	  dir=$$(mktemp -d "$${TMPDIR:-/tmp}/dtk-run.XXXXXX") && \
	  status=0; ./$(BUILD)/dtk "$$dir" $(ARGS) || status=$$?; \
	  rm -rf "$$dir"; exit $$status; \
	fi

# Installs dtk (and dtk-mpi when built) and the manual page below PREFIX,
# staged below DESTDIR when it is given. The list of installed files stays in
# $(BUILD)/install_manifest.txt for `make uninstall` (give it the same
# DESTDIR).
PREFIX ?= /usr/local
DESTDIR ?=

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

uninstall:
	@test -f $(BUILD)/install_manifest.txt || \
	  { echo "$(BUILD)/install_manifest.txt: nothing was installed from this build" >&2; exit 1; }
	@while IFS= read -r file || [ -n "$$file" ]; do \
	  echo "Removing $(DESTDIR)$$file"; rm -f -- "$(DESTDIR)$$file"; \
	done < $(BUILD)/install_manifest.txt

# Builds the Debian package $(BUILD)/dtk_<version>_<arch>.deb.
package: build
	cmake --build $(BUILD) --target package

# The native Windows program, cross-built with mingw-w64: $(WINDOWS_BUILD)/dtk.exe,
# and its unit tests, $(WINDOWS_BUILD)/tests/dtk_tests.exe.
WINDOWS_BUILD ?= build-windows
WINDOWS_TOOLS := $(shell command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 && \
                   command -v wine >/dev/null 2>&1 && echo yes)

windows:
	@$(call configure,$(WINDOWS_BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DDTK_LINUX_DTK=$(abspath $(BUILD))/dtk)
	cmake --build $(WINDOWS_BUILD) --parallel

# Runs the Windows unit tests and whole runs of dtk.exe under Wine, one of
# them against the Linux build.
test-windows: build windows
	cd $(WINDOWS_BUILD) && ctest --output-on-failure --parallel 2

# The whole test suite again, built with AddressSanitizer and
# UndefinedBehaviorSanitizer.
ASAN_BUILD ?= build-asan
test-sanitize: deps
	@$(call configure,$(ASAN_BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DDTK_SANITIZE=ON)
	cmake --build $(ASAN_BUILD) --parallel
	cd $(ASAN_BUILD) && ctest --output-on-failure --parallel 2

# The tests of what runs on several threads (dtk -threads N, the thread
# group, the shared console, the fault double they share) under
# ThreadSanitizer (build-tsan/): only dtk and the unit tests are built.
# Not those of the uring engine: liburing maps its rings with system calls
# of its own, which ThreadSanitizer does not see, so a ring that one thread
# made where another's was just unmapped looks like one ring shared.
TSAN_BUILD ?= build-tsan
TSAN_TESTS ?= *Thread*:*MemberConsole*-*uring*
test-tsan: deps
	@$(call configure,$(TSAN_BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DDTK_SANITIZE_THREAD=ON \
	  -DDTK_BUILD_BENCH=OFF)
	cmake --build $(TSAN_BUILD) --parallel --target dtk_tests
	TSAN_OPTIONS="halt_on_error=1 $(TSAN_OPTIONS)" \
	  ./$(TSAN_BUILD)/tests/dtk_tests --gtest_filter='$(TSAN_TESTS)'

# Fuzzes the command-line parser with libFuzzer, for
# FUZZ_SECONDS each, starting from the seeds in fuzz/corpus (which it leaves
# as they are). A finding stops with its input saved in FUZZ_BUILD.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 30
FUZZERS := command_line_fuzzer
fuzz:
	@./scripts/install-deps.sh clang libclang-rt-14-dev
	@$(call configure,$(FUZZ_BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DDTK_BUILD_FUZZERS=ON -DDTK_BUILD_TESTS=OFF)
	cmake --build $(FUZZ_BUILD) --target $(FUZZERS)
	@for fuzzer in $(FUZZERS); do \
	  corpus=$(FUZZ_BUILD)/corpus/$$fuzzer; mkdir -p $$corpus; \
	  cp fuzz/corpus/$$fuzzer/* $$corpus/; \
	  if $(FUZZ_BUILD)/fuzz/$$fuzzer -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	       -artifact_prefix=$(FUZZ_BUILD)/$$fuzzer- $$corpus > $(FUZZ_BUILD)/$$fuzzer.log 2>&1; then \
	    echo "$$fuzzer: $$(grep -o 'stat::number_of_executed_units: *[0-9]*' \
	      $(FUZZ_BUILD)/$$fuzzer.log | grep -o '[0-9]*$$') inputs in $(FUZZ_SECONDS) s, no finding"; \
	  else \
	    tail -n 40 $(FUZZ_BUILD)/$$fuzzer.log; exit 1; \
	  fi; \
	done

clean:
	rm -rf $(BUILD) $(WINDOWS_BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)

# Builds the benchmarks and the floor program (bench/), runs the benchmarks,
# then times dtk against the floor, and dtk on several threads against one,
# on /dev/shm (or on DIR); RUNS=N runs each.
RUNS ?= 11

bench: deps
	@$(call clear_failed,$(BUILD))
	cmake -S . -B $(BUILD) $(GENERATOR) -DDTK_BUILD_BENCH=ON
	cmake --build $(BUILD) --parallel
	./$(BUILD)/bench/dtk_bench
	BUILD=$(BUILD) RUNS=$(RUNS) bench/compare.sh $(DIR)
	BUILD=$(BUILD) RUNS=$(RUNS) bench/threads.sh $(DIR)

# How large the tests are beside the code they test.
lines:
	@./scripts/count-lines.sh
