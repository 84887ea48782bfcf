# The two entry points: `make demo` runs the main job, `make test` builds
# everything and runs every test through CTest.
BUILD ?= build
JOBS ?= $(shell nproc)
PACKAGES := cmake make g++ pkg-config lua5.2 liblua5.2-dev lua-busted libgtest-dev \
	libarchive-dev libssl-dev libcurl4-openssl-dev rapidjson-dev libdeflate-dev libzstd-dev zlib1g-dev libdtl-dev libexpat1-dev
# luarocks builds the rock in the tests; lua-check lints the Lua files.
PACKAGES += luarocks lua-check
# update-mirror parses its command line and reads and writes JSON with them,
# and hears SIGTERM and SIGHUP through lua-posix.
PACKAGES += lua-argparse lua-cjson lua-posix

.PHONY: all deps build test demo install bench clean dist
.PHONY: test-sanitize test-valgrind fuzz

all: build

deps:
	@tools/install-deps.sh $(PACKAGES)

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

# The sanitized suite comes last, so the run ends on CTest's summary.
test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)
	$(MAKE) fuzz FUZZ_SECONDS=$(FUZZ_SHORT_SECONDS)
	$(MAKE) test-sanitize

demo: build
	examples/demo.sh $(BUILD)

# The loader finds a new library in /usr/local/lib only once its cache knows
# it; cmake's own install step leaves that alone, for DESTDIR and non-root
# installs.
install: build
	cmake --install $(BUILD)
	@if [ "$$(id -u)" = 0 ] && [ -z "$${DESTDIR:-}" ]; then ldconfig; fi

# A source rock of the tree as it is, which luarocks installs offline from
# any folder: the archive travels inside it, under its own name.
ROCKSPEC := $(firstword $(wildcard update-*.rockspec))
ROCK := $(ROCKSPEC:.rockspec=)
DIST ?= $(BUILD)/dist
dist: deps
	rm -rf $(DIST) && mkdir -p $(DIST)
	tar -C . --exclude='./build*' --exclude=./.git --exclude=./bench/results --exclude='*.o' \
		--transform 's,^\.,$(ROCK),' -czf $(DIST)/$(ROCK).tar.gz .
	sed 's|^source = .*|source = { url = "file://$(abspath $(DIST))/$(ROCK).tar.gz", dir = "$(ROCK)" }|' \
		$(ROCKSPEC) >$(DIST)/$(ROCKSPEC)
	cd $(DIST) && luarocks --lua-version=5.2 pack $(ROCKSPEC)

bench: build
	bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD)

# Reliability: the suite again under ASan and UBSan, the busted suites under
# valgrind, and the fuzz targets (tests/reliability, fuzz, docs/reliability.md).
RELIABILITY_PACKAGES := clang libclang-rt-14-dev valgrind
FUZZ_SECONDS ?= 120
FUZZ_SHORT_SECONDS ?= 15
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1:detect_stack_use_after_return=1 \
	UBSAN_OPTIONS=print_stacktrace=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/reliability/lsan.supp \
	PATH=$(abspath $(BUILD))-sanitize/tests/reliability/bin:$$PATH

test-sanitize: deps
	cmake -S . -B $(BUILD)-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATE_SANITIZE=ON
	cmake --build $(BUILD)-sanitize -j$(JOBS)
	$(SANITIZER_ENV) ctest --test-dir $(BUILD)-sanitize --output-on-failure -j$(JOBS)

test-valgrind: deps
	@tools/install-deps.sh $(RELIABILITY_PACKAGES)
	cmake -S . -B $(BUILD)-valgrind -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DLUA52=$(CURDIR)/tests/reliability/valgrind-lua -DRELIABILITY_HOSTILE_CALLS=3000
	cmake --build $(BUILD)-valgrind -j$(JOBS)
	ctest --test-dir $(BUILD)-valgrind --output-on-failure -R '^(lua|e2e|reliability)\.'

fuzz: deps
	@tools/install-deps.sh $(RELIABILITY_PACKAGES)
	cmake -S fuzz -B $(BUILD)-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(BUILD)-fuzz -j$(JOBS)
	fuzz/run.sh $(BUILD)-fuzz $(FUZZ_SECONDS)
