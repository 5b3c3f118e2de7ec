# The two set-up commands: `make run` and `make test`.
NATIVE_LEGS := default asan tsan

.PHONY: run test build dist fuzz leg-fuzz bench bench-wine wine-bench-run $(addprefix leg-,$(NATIVE_LEGS)) leg-win32 \
	win-ctest native-packages

build:
	cmake --preset default >/dev/null
	cmake --build --preset default

run: build
	./build/peerdir

test: native-packages $(addprefix leg-,$(NATIVE_LEGS)) leg-win32 leg-fuzz

# What the native legs test beyond the plain server: the shared registry
# (etcd and its client libraries), OpenSSL for TLS, the Debian package, and
# nft, which drops a vanished client's packets in the tests' own network
# namespace. Installed before the legs configure, since the build leaves the
# shared registry and TLS out without their libraries. Status 10 (skipped, outside CI) is no error.
native-packages:
	@tools/ensure-packages.sh fuzz shared-registry tls package netfilter; status=$$?; \
	if [ $$status -ne 0 ] && [ $$status -ne 10 ]; then exit $$status; fi

# A static pattern rule: make skips the implicit-rule search for .PHONY
# targets, so a plain `leg-%:` rule would never run and `make test` would
# pass having done nothing.
$(addprefix leg-,$(NATIVE_LEGS)): leg-%: native-packages
	@echo "== test leg: $*"
	cmake --preset $* >/dev/null
	cmake --build --preset $*
	ctest --preset $*

# The Windows leg: cross-compiled with mingw-w64, tests run under Wine.
# `tools/windows-bits.sh --install` installs what is missing and says which
# build the leg tests and why, or says in one line why the leg is skipped
# (exit 10); under CI=true a skipped leg fails instead.
#
# The 32-bit build ships and is always compiled. It is tested where this
# machine runs 32-bit programs and 32-bit Wine can be installed; where it
# cannot (a 32-bit probe fails, or apt cannot get 32-bit Wine), the leg
# tests the 64-bit build of the same sources under wine64 instead, and its
# first line says which it tested and why. PEERDIR_WINDOWS_BITS=64 forces
# the 64-bit path on any machine.
leg-win32: leg-default
	@bits_and_reason=$$(tools/windows-bits.sh --install); status=$$?; \
	if [ $$status -eq 10 ]; then exit 0; elif [ $$status -ne 0 ]; then exit $$status; fi; \
	bits=$$(echo "$$bits_and_reason" | cut -f1); reason=$$(echo "$$bits_and_reason" | cut -f2-); \
	if [ "$$bits" = 64 ]; then \
		echo "== test leg: win32: $$reason; testing the 64-bit Windows build of the same sources under wine64 (the 32-bit build is compiled only)"; \
	else \
		echo "== test leg: win32: $$reason; testing the 32-bit Windows build under Wine"; \
	fi; \
	grep '^ensure-packages.sh:' build/windows-packages.log || true; \
	if [ "$$bits" = 64 ]; then \
		cmake --preset win32 >/dev/null && cmake --build --preset win32 && \
		$(MAKE) --no-print-directory win-ctest WIN_PRESET=win64; \
	else \
		$(MAKE) --no-print-directory win-ctest WIN_PRESET=win32; \
	fi

# Wine keeps its prefix in the build dir, prints no debug output, opens no
# window and offers no Mono or Gecko install. The whole run, wineserver
# included (it owns the sockets), happens in a network namespace of its own:
# the host lookup then yields 127.0.0.1 and nothing leaves loopback. A
# wineserver of this prefix left running outside would serve the tests from
# the host's network, so it is stopped first. wineboot sets the prefix up
# before the tests, so the first test does not spend its time on that.
#
# Debian's `wine` launcher takes the 32-bit loader whenever it is installed,
# and `wineboot` goes through it, so the 64-bit prefix is set up and served by
# wine64 and the 64-bit wineserver named directly.
WIN_PRESET ?= win32
WINE_COMMON_ENV := WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_env = WINEPREFIX=$(CURDIR)/build-$(1)/wineprefix WINEARCH=$(if $(filter win64%,$(1)),win64,win32) \
	$(WINE_COMMON_ENV) \
	$(if $(filter win64%,$(1)),WINELOADER=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver64)
wine_loader = $(if $(filter win64%,$(1)),/usr/lib/wine/wine64,wine)
wine_server = $(if $(filter win64%,$(1)),/usr/lib/wine/wineserver64,wineserver)

win-ctest:
	cmake --preset $(WIN_PRESET) >/dev/null
	cmake --build --preset $(WIN_PRESET)
	env -u DISPLAY $(call wine_env,$(WIN_PRESET)) unshare -n sh -c '\
		ip link set lo up && { $(call wine_server,$(WIN_PRESET)) -k 2>/dev/null; true; } && \
		$(call wine_loader,$(WIN_PRESET)) wineboot && \
		{ PEERDIR_OWN_NETNS=1 ctest --preset $(WIN_PRESET); status=$$?; $(call wine_server,$(WIN_PRESET)) -w; exit $$status; }'

# Release packages in dist/, named with the version from CMakeLists.txt, from
# the release builds (optimised, no tests): a .tar.gz and a Debian package of
# the Linux build, and a .zip of the Windows build. The .tar.gz and the .zip
# hold peerdir, peerdir-client, the sample config.txt and the README; the .deb
# installs them in the system's places with a systemd unit. The install script
# brings the Debian tools (dpkg-shlibdeps computes the package's Depends) and
# the cross compiler (no Wine: nothing runs here), or says why it cannot.
dist:
	tools/ensure-packages.sh package
	cmake --preset release >/dev/null
	cmake --build --preset release --target peerdir peerdir-client
	cd build-release && cpack -B $(CURDIR)/dist
	tools/ensure-packages.sh windows-build
	cmake --preset win32-release >/dev/null
	cmake --build --preset win32-release --target peerdir peerdir-client
	cd build-win32-release && cpack -B $(CURDIR)/dist
	rm -rf dist/_CPack_Packages
	@ls -1 dist/*.tar.gz dist/*.deb dist/*.zip

# The fuzzer: clang with libFuzzer, AddressSanitizer and UndefinedBehavior-
# Sanitizer. The test leg runs it for about a minute from the committed seeds;
# `make fuzz` runs it for FUZZ_SECONDS (0: until Ctrl+C), keeping what it
# learns in build-fuzz/tests/fuzz/corpus and any crashing input beside it.
FUZZ_SECONDS ?= 600

leg-fuzz:
	@echo "== test leg: fuzz"
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz
	ctest --preset fuzz

fuzz:
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz
	cd build-fuzz/tests/fuzz && ./message_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
		-rss_limit_mb=2048 -print_final_stats=1 corpus $(CURDIR)/tests/fuzz/seeds

# The benchmark, never part of `make test`: a release build of the server and
# of peerdir-bench, which starts a fresh server for each measurement and
# prints a table of figures against their targets, also written as CSV. It
# runs in a network namespace of its own (where one can be made), so the
# server's host lookup yields a loopback address; the benchmark refuses any
# other.
BENCH_DIR := build/bench

bench:
	cmake --preset release >/dev/null
	cmake --build --preset release --target peerdir peerdir-bench
	@mkdir -p $(BENCH_DIR)
	tests/e2e/in_netns.sh build-release/peerdir-bench --server build-release/peerdir \
		--label "Linux" --csv $(BENCH_DIR)/linux.csv

# The introduction and capacity rows against the Windows build under Wine,
# driven by the Linux peerdir-bench (so the figures are the server's, not
# Wine's sockets on the client side too); there is no Windows build of the
# benchmark. Kept apart from `make bench`:
# Wine needs its toolchain and a prefix, and starts slowly. The whole run,
# wineserver included, happens in a network namespace of its own. Like the
# test leg, it measures the 32-bit release build where this machine runs
# 32-bit programs, and the 64-bit one of the same sources where it cannot.
bench-wine:
	@bits_and_reason=$$(tools/windows-bits.sh --install); status=$$?; \
	if [ $$status -eq 10 ]; then echo "bench-wine needs the Windows toolchain"; exit 1; \
	elif [ $$status -ne 0 ]; then exit $$status; fi; \
	bits=$$(echo "$$bits_and_reason" | cut -f1); reason=$$(echo "$$bits_and_reason" | cut -f2-); \
	echo "bench-wine: $$reason; measuring the $$bits-bit Windows build"; \
	$(MAKE) --no-print-directory wine-bench-run WIN_PRESET=win$$bits-release

wine-bench-run:
	cmake --preset release >/dev/null
	cmake --build --preset release --target peerdir-bench
	cmake --preset $(WIN_PRESET) >/dev/null
	cmake --build --preset $(WIN_PRESET) --target peerdir
	@mkdir -p $(BENCH_DIR)
	env -u DISPLAY $(call wine_env,$(WIN_PRESET)) unshare -n sh -c '\
		ip link set lo up && { $(call wine_server,$(WIN_PRESET)) -k 2>/dev/null; true; } && \
		$(call wine_loader,$(WIN_PRESET)) wineboot && \
		{ build-release/peerdir-bench --server build-$(WIN_PRESET)/peerdir.exe \
			--launcher $(call wine_loader,$(WIN_PRESET)) --rows introduction,capacity \
			--label "Wine $$(wine --version) $(WIN_PRESET)" --csv $(BENCH_DIR)/wine.csv; \
			status=$$?; $(call wine_server,$(WIN_PRESET)) -k; exit $$status; }'
