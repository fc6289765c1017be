# The two commands a developer needs first:
#   make test   installs what is missing, builds and runs every test
#   make demo   speaks a sentence through the module into a WAVE file
JOBS ?= $(shell nproc)
CMAKE_EXTRA ?=

.PHONY: all deps build test test-asan test-tsan demo bench clean fuzz

all: build

deps:
	bash scripts/install-deps.sh

build: deps
	cmake --preset release $(CMAKE_EXTRA)
	cmake --build --preset release -j $(JOBS)

test: build
	ctest --preset release -j $(JOBS)

test-asan: deps
	cmake --preset asan $(CMAKE_EXTRA)
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

test-tsan: deps
	cmake --preset tsan $(CMAKE_EXTRA)
	cmake --build --preset tsan -j $(JOBS)
	# The record tests read JSON through protobuf's map type, which crashes
	# when compiled with -fsanitize=thread against Debian's uninstrumented
	# protobuf; they run in the other two suites.
	ctest --preset tsan -j $(JOBS) -L "framework|module|host" -E "SdrManagerTest"

demo: build
	mkdir -p build/demo
	./build/release/host/vexora speak "Hello from vexora. This sentence was synthesized by the local speech service and played through the module." -o build/demo/hello.wav

bench: build
	bash bench/run.sh

# libFuzzer harnesses (clang, address and undefined-behaviour sanitizers),
# each run for FUZZ_SECONDS over its seed corpus; stops at the first crash.
FUZZ_SECONDS ?= 300
fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash fuzz/run.sh

clean:
	rm -rf build
