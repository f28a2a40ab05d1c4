# One word for each job: make, make test, make run.
BUILD ?= build
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
DIR ?=
ARGS ?= -verify

.PHONY: all build test run deps clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) --parallel

# Installs the tools and libraries the build and tests need on Debian.
deps:
	@./scripts/install-deps.sh

test: deps
	$(MAKE) build
	cd $(BUILD) && ctest --output-on-failure --parallel 2

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

clean:
	rm -rf $(BUILD)
