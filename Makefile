# Entry points: `make run` starts the program, `make test` builds and runs every test, `make
# portable` the library and command-line programs with clang, libc++ and strict POSIX.
# SANITIZE=address,undefined or SANITIZE=thread builds into a folder of its own.
# BENCH_ARGS go to the whole-process figures of `make bench`, e.g. BENCH_ARGS="--only discover".
comma := ,
SANITIZE ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 60
ifeq ($(SANITIZE),)
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
else
BUILD ?= build-$(subst $(comma),-,$(SANITIZE))
BUILD_TYPE ?= Debug
endif

.PHONY: all deps configure build test run bench demo fuzz portable package clean

all: build

deps:
	@sh scripts/deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DSANITIZE=$(SANITIZE)

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DSANITIZE=$(SANITIZE)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure --timeout 300 -j $(JOBS)

run: build
	@sh scripts/run.sh $(BUILD)

bench: build
	@sh scripts/bench.sh $(BUILD) $(BENCH_ARGS)

demo: build
	@sh scripts/demo.sh $(BUILD)

# The libFuzzer harnesses, built with clang into build-fuzz/, FUZZ_SECONDS each.
fuzz: deps
	@FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) bash fuzz/run.sh

# The library and the command-line programs with clang and LLVM's libc++ under strict POSIX
# macros, built into build-portable/ with their tests, which then run (QIPFINDER_PORTABLE).
# Its tests mostly wait on their test beds' programs, so they run four at a time.
PORTABLE_BUILD ?= build-portable
PORTABLE_TEST_JOBS ?= 4
$(PORTABLE_BUILD)/CMakeCache.txt: | deps
	CC=clang CXX=clang++ cmake -S . -B $(PORTABLE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DQIPFINDER_PORTABLE=ON

portable: $(PORTABLE_BUILD)/CMakeCache.txt
	cmake --build $(PORTABLE_BUILD) -j $(JOBS)
	cd $(PORTABLE_BUILD) && ctest --output-on-failure --timeout 300 -j $(PORTABLE_TEST_JOBS)

# The Debian package $(BUILD)/qipfinder_<version>_<arch>.deb (CPack; see packaging/).
package: build
	cd $(BUILD) && cpack

clean:
	rm -rf build build-*
