# The two commands of the README, and the jobs behind them.
#   make demo   installs, builds and runs the demo on the simulated Live Set
#   make test   installs, builds with sanitizers and runs every test suite
#   make test-agents  (opt-in) the agent runner against the real Codex and Claude Code
#   make test-tsan    (opt-in) the controller's tests, end to end included, under ThreadSanitizer
JOBS ?= $(shell nproc)

.PHONY: demo test test-agents test-tsan bench fuzz deps release asan clean

deps:
	scripts/install-deps

release: deps
	cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTOREL_TESTS=OFF
	cmake --build build/release -j$(JOBS)

asan: deps
	cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DVANTOREL_SANITIZE=ON
	cmake --build build/asan -j$(JOBS)

demo: release
	scripts/demo build/release

test: asan
	scripts/run-tests build/asan

test-agents: asan
	scripts/test-agents build/asan

# A race report in the controller or in a `vantorel-cli controller` it starts
# ends that process with status 66, which fails the test.
test-tsan: deps
	cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
	    -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_C_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread
	cmake --build build/tsan -j$(JOBS) --target app_tests vantorel-cli
	LC_ALL=fr_FR.UTF-8 TZ=America/St_Johns TSAN_OPTIONS="halt_on_error=1 exitcode=66" build/tsan/tests/app/app_tests

bench: deps
	cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DVANTOREL_TESTS=OFF -DVANTOREL_BENCH=ON
	cmake --build build/bench -j$(JOBS)
	scripts/run-benchmarks build/bench

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTOREL_TESTS=OFF -DVANTOREL_FUZZ=ON
	cmake --build build/fuzz -j$(JOBS)

clean:
	rm -rf build
