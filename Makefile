# make run  - install what is missing, build, convert the samples
# make test - install what is missing, build, run every test

BUILD   ?= build
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)
PACKAGES = build-essential cmake pkg-config libgtest-dev libgmock-dev libbenchmark-dev \
           libjpeg62-turbo-dev libjpeg-turbo-progs libcli11-dev python3 \
           qt6-base-dev qt6-base-dev-tools libgl-dev fonts-noto-cjk

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps configure build run test clean

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

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

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

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) out
