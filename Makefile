# KIVLogging: `make run` starts the logger, `make test` runs every test headless (and
# `make test-sanitized` on a build with AddressSanitizer and UBSan), `make bench`
# measures it beside rsyslog on loopback (QUICK=1 for shorter trials; it needs UDP 6177 free).
# All install what is missing (Debian packages) and build first.
# `make install` / `make uninstall` put a copy for the current user in place / take it away
# again (AUTOSTART=1: the window also starts at login); `make screenshot` retakes
# docs/screenshot.png.

BUILD_DIR ?= build
# `make run` runs a copy of the program in its own folder, where it keeps Log.mdb and
# mylog.txt beside itself: the records stay out of reach of `make clean`.
RUN_DIR ?= run
JOBS ?= $(shell nproc)

# Everything the build, the program and the tests need, named explicitly:
# every database connection goes to SQLite's own library, xvfb-run needs xauth, the window
# test asks xprop, the install test checks the menu entry and the service unit with
# desktop-file-validate and systemd-analyze, ss names who holds UDP 6177. Qt's SVG plugins draw
# the window's icon; Qt's Wayland platform shows the window where there is no X11.
PACKAGES := cmake g++ make pkgconf qt6-base-dev sqlite3 libsqlite3-dev iproute2 \
            libqt6svg6 qt6-wayland xvfb xauth x11-utils desktop-file-utils systemd dbus-daemon
# Only for `make bench`: Python drives it, rsyslog to measure against, ip to bring up loopback
# in a namespace of its own, git to take out a baseline's tree, an X server and a window
# manager to show the window on.
BENCH_PACKAGES := python3 rsyslog iproute2 git xvfb openbox
# Only for `make screenshot`: a window manager draws the caption, ImageMagick captures it.
SCREENSHOT_PACKAGES := xvfb xauth x11-utils openbox imagemagick

# Where `make install` puts the copy. PREFIX is the root of a data tree, ~/.local by default:
# the program with its Log.mdb and mylog.txt in $(PREFIX)/share/kivlogging, the launcher in
# $(PREFIX)/bin, the menu entry in $(PREFIX)/share/applications, the icon in
# $(PREFIX)/share/icons/hicolor/scalable/apps. The service unit goes to ~/.config/systemd/user,
# or with PREFIX given to $(PREFIX)/share/systemd/user (which systemd searches for
# PREFIX=/usr/local, say). UNIT_DIR overrides that.
ifdef PREFIX
UNIT_DIR ?= $(PREFIX)/share/systemd/user
else
PREFIX := $(HOME)/.local
UNIT_DIR ?= $(HOME)/.config/systemd/user
endif
# `make install AUTOSTART=1` also starts the window at login, through an XDG autostart entry.
AUTOSTART_DIR := $(or $(XDG_CONFIG_HOME),$(HOME)/.config)/autostart
SERVICE_WANTS := $(HOME)/.config/systemd/user/default.target.wants/kivlogging.service
APP_DIR := $(PREFIX)/share/kivlogging
BIN_DIR := $(PREFIX)/bin
DESKTOP_DIR := $(PREFIX)/share/applications
ICON_DIR := $(PREFIX)/share/icons/hicolor/scalable/apps

SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)

# Installs those of the Debian packages $(1) that are missing.
define install-missing
	@missing=""; \
	for package in $(1); do \
	    dpkg-query -W -f='$${Status}\n' "$$package" 2>/dev/null | grep -q '^install ok installed$$' \
	        || missing="$$missing $$package"; \
	done; \
	if [ -n "$$missing" ]; then \
	    echo "Installing:$$missing"; \
	    $(SUDO) apt-get update -q && \
	    DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -q $$missing; \
	fi
endef

.PHONY: all deps build program run test test-sanitized bench install uninstall screenshot clean

all: build

deps:
	$(call install-missing,$(PACKAGES))

# Configured once, telling only warnings and errors; the build configures again by itself when
# a CMakeLists.txt changes.
$(BUILD_DIR)/CMakeCache.txt: | deps
	@echo "Configuring $(BUILD_DIR)"
	@cmake -S . -B $(BUILD_DIR) --log-level=WARNING > /dev/null

# The program and the tests.
build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) --parallel $(JOBS)

# The program alone.
program: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) --parallel $(JOBS) --target kivlogging

# The logger never creates its database; an empty one is prepared here, never replacing one.
$(RUN_DIR)/Log.mdb: | $(BUILD_DIR)/CMakeCache.txt
	mkdir -p $(RUN_DIR)
	rm -f $@.new
	sqlite3 $@.new < recording/KIVData.sql && mv $@.new $@

run: program $(RUN_DIR)/Log.mdb
	install -m 755 $(BUILD_DIR)/kivlogging $(RUN_DIR)/kivlogging
	$(RUN_DIR)/kivlogging

# The build's own writeback may hold a started program's first syncs (its database's switch
# to WAL) for seconds.
# The tests that start the program bind UDP 6177: a copy already running would fail them.
define require-free-port
	@if ss -Hlun 'sport = :6177' | grep -q .; then \
	    echo "UDP port 6177 is taken, and the tests need it free. It is held by:" >&2; \
	    ss -Hlunp 'sport = :6177' >&2; \
	    echo "Stop that copy: systemctl --user stop kivlogging for the service; otherwise" \
	         "close the window of the copy started from the menu, at login or by make run." >&2; \
	    exit 1; \
	fi
endef

# What ctest lists as skipped, and why.
define tell-skips
	grep -h '^SKIP' $(1)/Testing/Temporary/LastTest.log 2>/dev/null | sed 's/^/Skipped: /' >&2 || true
endef

test: build
	$(require-free-port)
	sync
	@cd $(BUILD_DIR) && ctest --output-on-failure --parallel $(JOBS); status=$$?; \
	$(call tell-skips,.); exit $$status

# The same tests on a build of their own with AddressSanitizer and UndefinedBehaviorSanitizer.
# A finding of a test, or of a program a test started, fails the run and is shown.
SANITIZED_DIR ?= build-asan
test-sanitized: deps
	cmake -S . -B $(SANITIZED_DIR) -DKIV_SANITIZE=ON
	cmake --build $(SANITIZED_DIR) --parallel $(JOBS)
	@findings=$$(cat $(SANITIZED_DIR)/findings-dir) && rm -rf "$$findings" && \
	    mkdir -m 1777 "$$findings"
	$(require-free-port)
	sync
	@cd $(SANITIZED_DIR) && ctest --output-on-failure --parallel $(JOBS); status=$$?; \
	$(call tell-skips,.); \
	findings=$$(cat findings-dir); \
	if [ -n "$$(ls -A "$$findings")" ]; then \
	    echo "Sanitizer findings:" >&2; cat "$$findings"/* >&2; exit 1; \
	fi; \
	exit $$status

# The program and the bench's own tools; the tests are not needed. BASELINE=<commit> measures
# that commit's program (and its window, bench_list) beside this one, trial by trial in turn:
# its tree is taken out and built inside the build folder, as its own Makefile builds it.
BASELINE_DIR := $(BUILD_DIR)/baseline-src
bench: program
	$(call install-missing,$(BENCH_PACKAGES))
	cmake --build $(BUILD_DIR) --parallel $(JOBS) --target kivbench
ifdef BASELINE
	@commit=$$(git rev-parse --verify -q '$(BASELINE)^{commit}') || \
	    { echo "BASELINE=$(BASELINE) is no commit here" >&2; exit 1; }; \
	if [ "$$(cat '$(BASELINE_DIR)/.commit' 2>/dev/null)" != "$$commit" ]; then \
	    echo "Taking out $$commit into $(BASELINE_DIR)"; \
	    rm -rf '$(BASELINE_DIR)' && mkdir -p '$(BASELINE_DIR)' && \
	    git archive "$$commit" | tar -x -C '$(BASELINE_DIR)' && \
	    echo "$$commit" > '$(BASELINE_DIR)/.commit'; \
	fi
	$(MAKE) -C $(BASELINE_DIR) program BUILD_DIR=build BASELINE= QUICK=
	cmake --build $(BASELINE_DIR)/build --parallel $(JOBS) --target bench_list
endif
	bench/kivbench.py $(BUILD_DIR) $(if $(QUICK),--quick) $(if $(BASELINE),\
	    --baseline $(abspath $(BASELINE_DIR))/build --baseline-name $(BASELINE))

# CMake's install rules put the program, stripped, in its own folder, as it keeps its files
# beside itself; the launcher is a symbolic link, which the program follows to find that folder.
# Log.mdb and mylog.txt are the user's records: an empty database is made once, and neither is
# ever replaced.
install: program
ifdef AUTOSTART
	@if [ "$$(readlink "$(SERVICE_WANTS)")" = "$(UNIT_DIR)/kivlogging.service" ]; then \
	    echo "The service is enabled, and only one copy can listen on UDP 6177: choose one." >&2; \
	    echo "For the window at login, first run: systemctl --user disable --now kivlogging" >&2; \
	    exit 1; \
	fi
endif
	KIV_UNIT_DIR="$(UNIT_DIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)" --strip
	if [ ! -e "$(APP_DIR)/Log.mdb" ] && [ ! -L "$(APP_DIR)/Log.mdb" ]; then \
	    rm -f "$(APP_DIR)/Log.mdb.new" && \
	    sqlite3 "$(APP_DIR)/Log.mdb.new" < recording/KIVData.sql && \
	    mv "$(APP_DIR)/Log.mdb.new" "$(APP_DIR)/Log.mdb"; \
	fi
ifdef AUTOSTART
	mkdir -p "$(AUTOSTART_DIR)"
	sed 's|^Exec=.*|Exec=$(abspath $(BIN_DIR))/kivlogging|' "$(DESKTOP_DIR)/kivlogging.desktop" \
	    > "$(AUTOSTART_DIR)/kivlogging.desktop"
	@echo "The window starts at login: $(AUTOSTART_DIR)/kivlogging.desktop."
endif
	@echo "Installed in $(APP_DIR); start it from the menu or with $(BIN_DIR)/kivlogging."

# Leaves Log.mdb and mylog.txt (and the folder holding them) where they are. An enabled
# service would be left pointing at nothing, so that is undone first.
uninstall:
	@if [ "$$(readlink "$(SERVICE_WANTS)")" = "$(UNIT_DIR)/kivlogging.service" ]; then \
	    echo "The service is enabled; first run: systemctl --user disable --now kivlogging" >&2; \
	    exit 1; \
	fi
	rm -f "$(APP_DIR)/kivlogging" "$(BIN_DIR)/kivlogging" "$(DESKTOP_DIR)/kivlogging.desktop" \
	      "$(ICON_DIR)/kivlogging.svg" "$(UNIT_DIR)/kivlogging.service" \
	      "$(AUTOSTART_DIR)/kivlogging.desktop"
	@echo "Kept the logs and the database in $(APP_DIR)."

screenshot: program
	$(call install-missing,$(SCREENSHOT_PACKAGES))
	tools/screenshot.sh $(BUILD_DIR)/kivlogging docs/screenshot.png

# Leaves $(RUN_DIR) and its records alone.
clean:
	rm -rf $(BUILD_DIR)
