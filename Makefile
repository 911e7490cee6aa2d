# Entry points named in the README. Everything builds out of tree under build*/.
BUILD      ?= build
ASAN_BUILD ?= build-asan
WIN_BUILD  ?= build-win
FUZZ_BUILD ?= build-fuzz
TSAN_BUILD ?= build-tsan
REL_BUILD  ?= build-release
JOBS       ?= 2
# Warnings are always on; WERROR=ON (CI sets it) makes them errors.
WERROR     ?= OFF
COMMON     := -DZPX_WERROR=$(WERROR)

.PHONY: demo test sanitize-test tsan-test release package package-test python-test bench docs format clean configure windows windows-test fuzz wireshark-test

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(COMMON) >/dev/null

# The main job: a whole test run through the public exports against the built-in emulator.
demo: configure
	cmake --build $(BUILD) -j$(JOBS) --target zpxctl
	$(BUILD)/zpxctl demo

# Every test: unit, integration (emulator), the C header and the export check.
test: configure
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && ctest -j$(JOBS) --output-on-failure --timeout 600

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize-test:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DZPX_SANITIZE=ON -DZPX_BENCHMARKS=OFF $(COMMON) >/dev/null
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest -j$(JOBS) --output-on-failure --timeout 900

# The same tests under ThreadSanitizer: threads on many sessions, threads sharing one, closes
# racing calls.
tsan-test:
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZPX_TSAN=ON -DZPX_BENCHMARKS=OFF $(COMMON) >/dev/null
	cmake --build $(TSAN_BUILD) -j$(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest -j$(JOBS) --output-on-failure --timeout 900

# The library and tools as a user builds them: Release, without tests or benchmarks.
release:
	cmake -S . -B $(REL_BUILD) -DCMAKE_BUILD_TYPE=Release -DZPX_TESTS=OFF -DZPX_BENCHMARKS=OFF \
	  -DCMAKE_INSTALL_PREFIX=/usr $(COMMON) >/dev/null
	cmake --build $(REL_BUILD) -j$(JOBS)

# A Debian package and a tarball of the Release build, installed under /usr.
package:
	cmake -S . -B $(REL_BUILD) -DCMAKE_BUILD_TYPE=Release -DZPX_TESTS=OFF -DZPX_BENCHMARKS=OFF \
	  -DCMAKE_INSTALL_PREFIX=/usr $(COMMON) >/dev/null
	cmake --build $(REL_BUILD) -j$(JOBS)
	cd $(REL_BUILD) && cpack >/dev/null && ls zpx*.deb zpx*.tar.gz

# Installs the Debian package (root), builds a C program against it with pkg-config and with
# find_package, runs both, and removes the package.
package-test: package
	tests/package/check.sh $$(ls $(REL_BUILD)/zpx_*.deb)

# The Python package installed offline with pip (from a copy, so that the tree stays clean),
# then its tests against zpx-emu on the installed copy, with the system's Python (Debian
# python3-pip, python3-setuptools, python3-wheel, python3-pytest).
python-test: configure
	cmake --build $(BUILD) -j$(JOBS) --target ZPX zpx-emu
	rm -rf $(BUILD)/python-src $(BUILD)/python-install && cp -r python $(BUILD)/python-src
	PIP_ROOT_USER_ACTION=ignore /usr/bin/python3 -m pip install -q --disable-pip-version-check \
	  --no-index --no-build-isolation --no-deps --target $(BUILD)/python-install $(BUILD)/python-src
	ZPX_PYTHON_PACKAGE_DIR=$(CURDIR)/$(BUILD)/python-install ZPX_BUILD_DIR=$(CURDIR)/$(BUILD) \
	  PYTHONPATH=$(CURDIR)/$(BUILD)/python-install \
	  /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests
	# The typical run again on each driver interface and on VXI, under zpx-emu run.
	for interface in pci usb fw isa vxi vxi-plain; do \
	  ZPX_PYTHON_PACKAGE_DIR=$(CURDIR)/$(BUILD)/python-install ZPX_BUILD_DIR=$(CURDIR)/$(BUILD) \
	    PYTHONPATH=$(CURDIR)/$(BUILD)/python-install $(BUILD)/zpx-emu run --interface $$interface -- \
	    /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests -k typical_run || exit 1; \
	done

# The Wireshark dissector tools/wireshark/zpx.lua under tshark, on recordings of zpxctl and of a
# raw client against zpx-emu (built first only when missing).
wireshark-test:
	@if [ ! -x $(BUILD)/zpx-emu ] || [ ! -x $(BUILD)/zpxctl ]; then \
	  $(MAKE) --no-print-directory configure && cmake --build $(BUILD) -j$(JOBS) --target zpx-emu zpxctl; fi
	/usr/bin/python3 tests/wireshark/check.py $(BUILD)

# Benchmarks: library figures next to raw baselines measured in the same run.
bench: configure
	cmake --build $(BUILD) -j$(JOBS)
	for b in $(BUILD)/bench_*; do $$b --benchmark_counters_tabular=true || exit 1; done

# The API reference of the public headers (Doxygen), in $(BUILD)/docs/html; any warning fails it.
docs: configure
	cmake --build $(BUILD) --target docs

# ZPX.dll, its import libraries, zpxctl.exe, zpx-emu.exe and the test programs, with mingw-w64.
windows:
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZPX_BENCHMARKS=OFF $(COMMON) >/dev/null
	cmake --build $(WIN_BUILD) -j$(JOBS)

# The Windows build's tests under Wine: unit, integration, the C program against each import
# library, the export and import tables, and zpxctl.exe demo. The Wine prefix is made first, so
# that its one-time setup does not count against a test's time limit.
windows-test: windows
	WINEDEBUG=-all wineboot --init >/dev/null 2>&1 || true
	cd $(WIN_BUILD) && WINEDEBUG=-all ctest -j$(JOBS) --output-on-failure --timeout 900

# The libFuzzer targets (clang), each run for FUZZ_SECONDS from its committed corpus in fuzz/corpus
# copied to a scratch folder; FUZZ_TARGETS picks some (e.g. FUZZ_TARGETS=lan_replies).
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
fuzz:
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DZPX_FUZZ=ON \
	  -DZPX_TESTS=OFF -DZPX_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo $(COMMON) >/dev/null
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzzers
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_BUILD)/runs $(FUZZ_TARGETS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(WIN_BUILD) $(TSAN_BUILD) $(REL_BUILD)
