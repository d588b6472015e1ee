# `make run`: install dependencies, build the release and start Oculo.
# `make test`: install dependencies, build the sanitizer build and run every test.
.PHONY: run test build build-test bootstrap bench format clean

JOBS ?= $(shell nproc)

bootstrap:
	scripts/bootstrap

build: bootstrap
	cmake --preset release
	cmake --build --preset release -j $(JOBS)

run: build
	./build/release/src/oculo

build-test: bootstrap
	cmake --preset test
	cmake --build --preset test -j $(JOBS)

test: build-test
	ctest --preset test

bench: build
	cmake --build --preset release --target benchmarks -j $(JOBS)
	bench/run-all

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
