# The two commands of the README:
#   make demo   builds and runs the demo
#   make check  builds and runs every test suite: normal, sanitized, big-endian MIPS, fuzzing
#   make bench  runs every benchmark and writes docs/PERFORMANCE.md
JOBS ?= $(shell nproc)
# Seconds per fuzz target: make fuzz runs every target this long; make check runs each briefly.
FUZZ_SECONDS ?= 60
CHECK_FUZZ_SECONDS ?= 20
# The long campaign: seconds per target (or CAMPAIGN_TARGETS="target=seconds ..."), a corpus
# kept outside the tree, one core.
CAMPAIGN_SECONDS ?= 3600
CAMPAIGN_TARGETS ?=
CAMPAIGN_DIR ?= /var/tmp/ofagent-fuzz
CAMPAIGN_CPU ?= 0
CMAKE_GEN := -G Ninja

.PHONY: all deps build demo check check-format check-normal check-asan check-mips check-fuzz check-bench fuzz fuzz-build fuzz-campaign bench clean format

all: build

build:
	scripts/deps.sh build
	cmake -S . -B build $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j $(JOBS)

demo: build
	scripts/demo.sh build

check:
	scripts/deps.sh check
	$(MAKE) check-format check-normal check-asan check-mips check-fuzz check-bench
	@echo "make check: all suites passed"

check-normal:
	cmake -S . -B build $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j $(JOBS)
	cd build && ctest --output-on-failure -j $(JOBS)

check-asan:
	cmake -S . -B build-asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DOFAGENT_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

check-mips:
	cmake -S . -B build-mips $(CMAKE_GEN) -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-gnu.cmake \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOFAGENT_TLS=OFF -DOFAGENT_EXAMPLES=OFF \
	    -DOFAGENT_GTEST_SOURCE=/usr/src/googletest
	cmake --build build-mips -j $(JOBS)
	cd build-mips && ctest --output-on-failure -j $(JOBS)

check-fuzz:
	$(MAKE) fuzz FUZZ_SECONDS=$(CHECK_FUZZ_SECONDS)

# Builds the benches and runs each once briefly (their own checks only; nothing is timed).
check-bench:
	JOBS=$(JOBS) scripts/bench.sh --smoke

bench:
	JOBS=$(JOBS) scripts/bench.sh

fuzz: fuzz-build
	scripts/fuzz.sh build-fuzz $(FUZZ_SECONDS)

fuzz-build:
	CC=clang CXX=clang++ cmake -S . -B build-fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DOFAGENT_FUZZ=ON -DOFAGENT_TESTS=OFF -DOFAGENT_EXAMPLES=OFF
	cmake --build build-fuzz -j $(JOBS)

# Appends the figures of every target's run to $(CAMPAIGN_DIR)/summary.md (docs/ROBUSTNESS.md).
fuzz-campaign: fuzz-build
	scripts/fuzz.sh --corpus $(CAMPAIGN_DIR) --summary $(CAMPAIGN_DIR)/summary.md \
	    --cpu $(CAMPAIGN_CPU) build-fuzz $(CAMPAIGN_SECONDS) $(CAMPAIGN_TARGETS)

check-format:
	clang-format --dry-run -Werror $$(git ls-files '*.c' '*.cpp' '*.h' '*.hpp')

format:
	clang-format -i $$(git ls-files '*.c' '*.cpp' '*.h' '*.hpp')

clean:
	rm -rf build build-asan build-mips build-fuzz build-bench build-bench-notls \
	    build-bench-mips-RelWithDebInfo build-bench-mips-MinSizeRel
