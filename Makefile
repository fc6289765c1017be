# The two commands a developer needs first:
#   make test   installs what is missing, builds and runs every test
#   make demo   speaks a sentence through the module into a WAVE file
JOBS ?= $(shell nproc)
CMAKE_EXTRA ?=

.PHONY: all deps build test test-asan test-tsan demo bench clean

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

clean:
	rm -rf build
