# The two entry points: `make demo` runs the main job, `make test` builds
# everything and runs every test through CTest.
BUILD ?= build
JOBS ?= $(shell nproc)
PACKAGES := cmake make g++ pkg-config lua5.2 liblua5.2-dev lua-busted libgtest-dev \
	libarchive-dev libssl-dev

.PHONY: all deps build test demo install clean

all: build

deps:
	@tools/install-deps.sh $(PACKAGES)

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

demo: build
	examples/demo.sh $(BUILD)

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD)
