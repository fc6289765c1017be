# The two commands a developer needs first:
#   make test   installs what is missing, builds and runs every test
#   make demo   speaks a sentence through the module into a WAVE file
JOBS ?= $(shell nproc)
CMAKE_EXTRA ?=

.PHONY: all deps build test test-asan test-tsan demo bench soak soak-asan fuzz install package clean

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
	ctest --preset tsan -j $(JOBS)

demo: build
	mkdir -p build/demo
	./build/release/host/vexora speak "Hello from vexora. This sentence was synthesized by the local speech service and played through the module." -o build/demo/hello.wav

bench: build
	bash bench/run.sh

# Installs the release build under PREFIX (DESTDIR, when given, is put in
# front of it): the module in lib/vexora/plugin, the programs in bin, the
# sample configurations in share/vexora/conf.
PREFIX ?= /usr/local
install: build
	cmake --install build/release --prefix $(PREFIX)

# The Debian package of the release build, in build/release.
package: build
	cmake --build --preset release --target package

# The chaos soak: SOAK_CHANNELS channels for SOAK_SECONDS on the release
# build; soak-asan runs a shorter one on the sanitizer build of test-asan.
SOAK_CHANNELS ?= 500
SOAK_SECONDS ?= 600
SOAK_ARGS ?=
soak: build
	./build/release/soak/vexora-soak --channels $(SOAK_CHANNELS) --seconds $(SOAK_SECONDS) $(SOAK_ARGS)

soak-asan: deps
	cmake --preset asan $(CMAKE_EXTRA)
	cmake --build --preset asan -j $(JOBS) --target vexora-soak
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 LSAN_OPTIONS=suppressions=$(CURDIR)/.ci/lsan.supp \
	  ./build/asan/soak/vexora-soak --channels 200 --seconds 60 --seed 1 --slack-ms 3000 $(SOAK_ARGS)

# libFuzzer harnesses (clang, address and undefined-behaviour sanitizers),
# each run for FUZZ_SECONDS over its seed corpus; stops at the first crash.
FUZZ_SECONDS ?= 300
fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash fuzz/run.sh

clean:
	rm -rf build
