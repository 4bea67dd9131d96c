# make run  - install what is missing, build, convert the samples
# make test - install what is missing, build, run every test
# make package - build the Debian package

BUILD   ?= build
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)
PACKAGES = build-essential cmake pkg-config libgtest-dev libgmock-dev libbenchmark-dev \
           libjpeg62-turbo-dev libjpeg-turbo-progs libcli11-dev nlohmann-json3-dev python3 \
           qt6-base-dev qt6-base-dev-tools libgl-dev fonts-noto-cjk \
           clang libclang-rt-14-dev
# PNG in (libspng) and out (zlib), TIFF in and out; libpng is the tests' reference decoder.
PACKAGES += libspng-dev libtiff-dev zlib1g-dev libpng-dev
# make package and its test: CPack's DEB generator, manual pages
PACKAGES += dpkg-dev file man-db groff-base
# The recipes test: a single-node Slurm, an sshd for GNU parallel, and a
# parser for the Kubernetes Job where kubectl is missing
PACKAGES += munge slurmctld slurmd slurm-client openssh-server openssh-client parallel python3-yaml
# The window's test under a real X server, and its screenshot
PACKAGES += xvfb xauth imagemagick
# HEIC and AVIF in (libheif; in Debian 12 it brings its HEVC and AV1 codecs
# itself, there are no plugin packages), GIF in (giflib). The tests make their
# files with heif-enc and gifsicle and compare with heif-convert and Pillow.
PACKAGES += libheif-dev libheif-examples libgif-dev gifsicle python3-pil
# WebP in and out (libwebp); the tests make files with cwebp and decode them with dwebp.
PACKAGES += libwebp-dev webp
# The Python module and its tests; the library packages' lint
PACKAGES += pybind11-dev python3-dev python3-numpy python3-pytest lintian
# --icc srgb: pixels into sRGB through Little CMS.
PACKAGES += liblcms2-dev
# The message catalogues (msgfmt), and the Japanese locale the tests read them in.
PACKAGES += gettext locales

# Only make bench needs these: the peer that rendering is compared against.
BENCH_PACKAGES = libcairo2-dev

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

SANITIZE_BUILD ?= build-sanitize
SANITIZE_FLAGS = -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer

FUZZ_SECONDS ?= 600

.PHONY: all deps configure build run test test-fast test-sanitize fuzz fuzz-smoke bench bench-deps clean

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi
	@locale -a 2>/dev/null | grep -qix 'ja_JP.utf-\?8' || { \
	  echo "Installing the locale ja_JP.UTF-8"; \
	  $(SUDO) sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen && $(SUDO) locale-gen; }

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ]; then \
	  $(BUILD)/bin/quenlo; \
	else \
	  echo "No display found, so the window cannot open: converting the samples with the command line instead."; \
	  mkdir -p out && \
	  $(BUILD)/bin/quenlo-convert -o out samples/*.ipr samples/*.bmp samples/*.jpg && \
	  echo "Converted samples are in $(CURDIR)/out/"; \
	fi

test: test-fast test-sanitize

test-fast: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole suite again under AddressSanitizer, UndefinedBehaviorSanitizer
# and LeakSanitizer; any report fails the run.
test-sanitize: deps
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS) -O1" -DCMAKE_C_FLAGS="$(SANITIZE_FLAGS) -O1" \
	  -DCMAKE_EXE_LINKER_FLAGS="$(SANITIZE_FLAGS)" -DCMAKE_SHARED_LINKER_FLAGS="$(SANITIZE_FLAGS)" \
	  -DCMAKE_MODULE_LINKER_FLAGS="$(SANITIZE_FLAGS)"
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	  ctest --output-on-failure -j $(JOBS)

# Each libFuzzer target for FUZZ_SECONDS (default 10 minutes); any finding fails.
fuzz: deps
	bash fuzz/run.sh $(FUZZ_SECONDS)

fuzz-smoke: deps
	bash fuzz/run.sh 30

# build/quenlo_<version>_<arch>.deb
.PHONY: package
package: build
	cmake --build $(BUILD) --target package

# Figures only: kernel throughput, then the whole-process comparison and
# the rendering table against cairo.
bench-deps:
	@$(MAKE) --no-print-directory deps PACKAGES="$(BENCH_PACKAGES)"

bench: bench-deps build
	$(BUILD)/bin/bench_kernels --benchmark_min_time=0.5
	python3 bench/compare

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) build-fuzz out
