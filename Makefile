# Entry points named in the README. Everything builds out of tree under build*/.
BUILD      ?= build
ASAN_BUILD ?= build-asan
WIN_BUILD  ?= build-win
JOBS       ?= 2

.PHONY: demo test sanitize-test bench format clean configure windows windows-test

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

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
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DZPX_SANITIZE=ON -DZPX_BENCHMARKS=OFF >/dev/null
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest -j$(JOBS) --output-on-failure --timeout 900

# Benchmarks: library figures next to raw baselines measured in the same run.
bench: configure
	cmake --build $(BUILD) -j$(JOBS)
	for b in $(BUILD)/bench_*; do $$b --benchmark_counters_tabular=true || exit 1; done

# ZPX.dll, its import libraries, zpxctl.exe, zpx-emu.exe and the test programs, with mingw-w64.
windows:
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZPX_BENCHMARKS=OFF >/dev/null
	cmake --build $(WIN_BUILD) -j$(JOBS)

# The Windows build's tests under Wine: unit, integration, the C program against each import
# library, the export and import tables, and zpxctl.exe demo. The Wine prefix is made first, so
# that its one-time setup does not count against a test's time limit.
windows-test: windows
	WINEDEBUG=-all wineboot --init >/dev/null 2>&1 || true
	cd $(WIN_BUILD) && WINEDEBUG=-all ctest -j$(JOBS) --output-on-failure --timeout 900

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(WIN_BUILD)
