# `make run`: install dependencies, build the release and start Oculo.
# `make test`: install dependencies, build the sanitizer build and run every test.
.PHONY: run test build build-test bootstrap bench bundle package format clean

JOBS ?= $(shell nproc)

bootstrap:
	scripts/bootstrap

# The program and what `cmake --install` installs with it; the tests are built by
# `make test`, the benchmarks by `make bench`, the bundle tool by `make bundle`.
build: bootstrap
	cmake --preset release
	cmake --build --preset release --target oculo oculo_icons -j $(JOBS)

run: build
	./build/release/src/oculo

build-test: bootstrap
	cmake --preset test
	cmake --build --preset test -j $(JOBS)

test: build-test
	ctest --preset test

# `make bundle KEY=<private key file>`: a signed build/Oculo.app and build/Oculo.zip from the
# release build. Make a key once with `build/release/tools/oculo-bundle keygen <file>` and keep
# it out of the repository.
bundle: build
	@test -n "$(KEY)" || { echo "usage: make bundle KEY=<private key file>" >&2; exit 2; }
	cmake --build --preset release --target oculo-bundle -j $(JOBS)
	rm -rf build/Oculo.app build/Oculo.zip
	mkdir -p build/Oculo.app
	cp build/release/src/oculo build/release/Info.json build/Oculo.app/
	chmod -R go-w build/Oculo.app
	build/release/tools/oculo-bundle sign build/Oculo.app "$(KEY)"
	build/release/tools/oculo-bundle package build/Oculo.app build/Oculo.zip

# `make package`: build/oculo_<version>_<arch>.deb, installing under /usr. Its Oculo
# leaves updating to the package manager.
package: bootstrap
	cmake --preset package
	cmake --build --preset package --target oculo oculo_icons -j $(JOBS)
	cd build/package && cpack -B $(CURDIR)/build
	rm -rf build/_CPack_Packages

bench: build
	cmake --build --preset release --target benchmarks -j $(JOBS)
	bench/run-all

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
