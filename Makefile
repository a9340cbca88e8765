# The two commands a newcomer needs: `make run` and `make test`.
BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
# Warnings are errors in every build made here (development, `make test`, CI). The CMake
# default is off, for builds by others; WERROR=OFF gives that here too.
WERROR     ?= ON
PREFIX     ?= /usr/local
DESTDIR    ?=

.PHONY: all deps configure build run test test-fast format clean \
        demo install uninstall screenshots package bench

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DNORVA_WERROR=$(WERROR) \
	    $(CMAKE_ARGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run.sh $(BUILD)/src/app/NorvaHB

# The whole suite: the normal build first, then a Release build, then the sanitizer builds.
test: build
	@scripts/test.sh $(BUILD)

# Only the normal build's tests.
test-fast: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Timing and cost figures of the real programs, the desktop program and the service
# (docs/PERFORMANCE.md), in a build folder of its own. Needs root, like the end-to-end suite
# (its own network namespaces and private bus), and about 60 minutes, 30 of them the soak run
# (memory and CPU with the icon docked in a tray) and about 13 the service's part;
# not part of `make test`. MINUTES=N makes the heartbeat runs longer, SOAK_MINUTES=N the soak
# run (0 leaves it out).
BENCH_BUILD  ?= build-bench
MINUTES      ?= 3
SOAK_MINUTES ?= 30
bench: deps
	@[ "$$(id -u)" = 0 ] || { echo "make bench needs root: it creates network namespaces" \
	    "of its own (sudo make bench)"; exit 2; }
	@cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS) --target NorvaHB norvahbd norva-device \
	    fake-login1 fake-polkit bench-tools
	@python3 bench/run.py --build $(BENCH_BUILD) --minutes $(MINUTES) \
	    --soak-minutes $(SOAK_MINUTES)

# The real program against the simulated device, with a fake login manager: nothing restarts.
# NORVA_DEMO_MODE=usb: USB mode; NORVA_DEMO_MODE=service: the service norvahbd with NorvaHB as
# its front end.
demo: build
	@scripts/demo.sh $(BUILD)

# Installs to $(PREFIX) (and /etc/xdg/autostart), under $(DESTDIR) when that is set.
install: build
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)" --strip

# Exactly the files `install` puts there (cmake/Install.cmake), for the same PREFIX and DESTDIR.
# The service's unit, bus policy and polkit rule go to the distribution's folders under /usr
# and to the prefix's or /etc's otherwise.
ifeq ($(PREFIX),/usr)
SERVICE_FILES = $(DESTDIR)/lib/systemd/system/norvahbd.service \
                $(DESTDIR)/lib/systemd/system/norvahbd.socket \
                $(DESTDIR)/usr/lib/sysusers.d/norvahb.conf \
                $(DESTDIR)/usr/share/dbus-1/system.d/com.norva.NorvaHB1.conf \
                $(DESTDIR)/usr/share/polkit-1/rules.d/50-norvahbd.rules
else
SERVICE_FILES = $(DESTDIR)$(PREFIX)/lib/systemd/system/norvahbd.service \
                $(DESTDIR)$(PREFIX)/lib/systemd/system/norvahbd.socket \
                $(DESTDIR)$(PREFIX)/lib/sysusers.d/norvahb.conf \
                $(DESTDIR)/etc/dbus-1/system.d/com.norva.NorvaHB1.conf \
                $(DESTDIR)/etc/polkit-1/rules.d/50-norvahbd.rules
endif
INSTALLED_FILES = $(DESTDIR)$(PREFIX)/bin/NorvaHB \
                  $(DESTDIR)$(PREFIX)/bin/norva-device \
                  $(DESTDIR)$(PREFIX)/bin/norvahbd \
                  $(DESTDIR)$(PREFIX)/bin/norvactl \
                  $(DESTDIR)$(PREFIX)/share/bash-completion/completions/norvactl \
                  $(DESTDIR)$(PREFIX)/share/icons/hicolor/scalable/apps/norvahb.svg \
                  $(DESTDIR)$(PREFIX)/share/applications/norvahb.desktop \
                  $(DESTDIR)/etc/xdg/autostart/norvahb.desktop \
                  $(SERVICE_FILES) \
                  $(DESTDIR)/usr/share/polkit-1/actions/com.norva.NorvaHB1.policy \
                  $(DESTDIR)$(PREFIX)/share/dbus-1/interfaces/com.norva.NorvaHB1.xml \
                  $(DESTDIR)$(PREFIX)/share/man/man1/NorvaHB.1.gz \
                  $(DESTDIR)$(PREFIX)/share/man/man8/norvahbd.8.gz \
                  $(DESTDIR)$(PREFIX)/share/man/man1/norvactl.1.gz \
                  $(DESTDIR)$(PREFIX)/share/man/man1/norva-device.1.gz \
                  $(DESTDIR)$(PREFIX)/share/doc/norvahb/copyright \
                  $(DESTDIR)$(PREFIX)/share/doc/norvahb/changelog.gz \
                  $(DESTDIR)$(PREFIX)/share/lintian/overrides/norvahb

uninstall:
	@for f in $(INSTALLED_FILES); do \
	    if [ -e "$$f" ] || [ -L "$$f" ]; then rm -f -- "$$f" && echo "-- Removed: $$f"; fi; \
	done

# Regenerates docs/screenshots/*.png under a virtual X display.
screenshots: build
	@scripts/screenshots.sh $(BUILD)

# A Debian package of what `install` installs, in $(BUILD)/packages (lintian checks it in the
# ctest packaging_lintian).
package: build
	@cd $(BUILD) && cpack --config CPackConfig.cmake

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(BUILD)-release $(BUILD)-asan $(BUILD)-tsan
