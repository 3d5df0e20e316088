# KIVLogging: `make run` starts the logger, `make test` runs every test headless, `make bench`
# measures bursts on loopback (RUNS=1 for a quicker, rougher table; it needs UDP 6177 free).
# All install what is missing (Debian packages) and build first.

BUILD_DIR ?= build
JOBS ?= $(shell nproc)
RUNS ?= 3

# Everything the build, the program and the tests need, named explicitly:
# Qt's SQLite driver is only a recommendation of Qt SQL, xvfb-run needs xauth,
# the window test asks xprop, inserts and checkpoints go to SQLite directly.
PACKAGES := cmake g++ make pkgconf qt6-base-dev libqt6sql6-sqlite sqlite3 libsqlite3-dev \
            xvfb xauth x11-utils

SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)

.PHONY: all deps build run test bench clean

all: build

deps:
	@missing=""; \
	for package in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' "$$package" 2>/dev/null | grep -q '^install ok installed$$' \
	        || missing="$$missing $$package"; \
	done; \
	if [ -n "$$missing" ]; then \
	    echo "Installing:$$missing"; \
	    $(SUDO) apt-get update -q && \
	    DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -q $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD_DIR)
	cmake --build $(BUILD_DIR) --parallel $(JOBS)

# The logger never creates its database; an empty one is prepared here, never replacing one.
$(BUILD_DIR)/Log.mdb: | build
	sqlite3 $@.new < recording/KIVData.sql && mv $@.new $@

run: build $(BUILD_DIR)/Log.mdb
	$(BUILD_DIR)/kivlogging

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure --parallel $(JOBS)

bench: build
	cmake --build $(BUILD_DIR) --parallel $(JOBS) --target kivbench
	$(BUILD_DIR)/bench/kivbench $(RUNS)

clean:
	rm -rf $(BUILD_DIR)
