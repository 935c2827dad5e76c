# The project's whole interface: make build | test | demo | clean.
SHELL := bash
BUILD := build
WIN := $(BUILD)/win
WIN32 := $(BUILD)/win32
DEPLOY := $(BUILD)/deploy
RECEIVER := $(BUILD)/receiver
WINE_RUN := cmake/wine-run.sh
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
PACKAGES := g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools wine wine64 wine32:i386 libwine-dev \
            cmake make googletest python3 xvfb imagemagick fonts-wqy-microhei gcab zip osslsigncode g++ \
            libasio-dev libssl-dev libxxhash-dev libgtest-dev openssl \
            libcrypt-dev libsystemd-dev dpkg-dev lintian systemd
SERVERS := $(WIN)/bin/ovtransfer.dll $(WIN)/bin/ovnetsupport.dll $(WIN)/bin/ovengine.dll $(WIN)/bin/ovmediainfo.dll

.PHONY: deps receiver build test demo bench deb clean

# Installs only what is missing, so a prepared machine asks nothing of the network. The 32-bit
# Wine loader comes from the i386 architecture, which dpkg must know first.
deps:
	@missing=$$(for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  { dpkg --print-foreign-architectures | grep -qx i386 || $(SUDO) dpkg --add-architecture i386; } && \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing >/dev/null; \
	fi

receiver: deps
	@[ -f $(RECEIVER)/CMakeCache.txt ] || cmake -S receiver -B $(RECEIVER) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(RECEIVER) -j$$(nproc)

# The native receiver first: the Windows tests upload to it. Then every Windows binary for
# x86-64 and for x86, from the same sources; last the checks that need both (build/deploy).
build: receiver
	@[ -f $(WIN)/CMakeCache.txt ] || cmake -S . -B $(WIN) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(WIN) -j$$(nproc)
	@[ -f $(WIN32)/CMakeCache.txt ] || cmake -S . -B $(WIN32) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
	  -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(WIN32) -j$$(nproc)
	@[ -f $(DEPLOY)/CMakeCache.txt ] || cmake -S tests/deploy -B $(DEPLOY) -DOV_X64_BIN=$(CURDIR)/$(WIN)/bin \
	  -DOV_X86_BIN=$(CURDIR)/$(WIN32)/bin -DOVRECEIVER=$(CURDIR)/$(RECEIVER)/ovreceiver >/dev/null

# One CTest run per tree; every tree runs even when an earlier one failed.
test: build
	status=0; \
	for tree in $(RECEIVER) $(WIN) $(WIN32) $(DEPLOY); do \
	  ctest --test-dir $$tree --output-on-failure || status=1; \
	done; \
	exit $$status

demo: build
	bash cmake/wine-prefix.sh $(SERVERS)
	cd examples && ../$(WINE_RUN) cscript //nologo scripting-demo.js
	bash cmake/demo.sh $(WIN)/bin $(RECEIVER)/ovreceiver

# The receiver's benchmarks speak TLS with the tests' throwaway authority.
RECEIVER_BENCH := OVRECEIVER=$(abspath $(RECEIVER))/ovreceiver OV_TEST_AUTHORITY=$(abspath $(WIN))/test-authority
bench: build
	$(RECEIVER)/receiver_load_bench
	bash cmake/wine-prefix.sh $(SERVERS)
	bash tests/support/test_authority.sh $(abspath $(WIN))/test-authority
	$(WINE_RUN) $(WIN)/bin/queue_bench.exe
	$(RECEIVER_BENCH) $(WINE_RUN) $(WIN)/bin/engine_bench.exe
	$(RECEIVER_BENCH) $(WINE_RUN) $(WIN)/bin/upload_bench.exe

# What a site deploys (docs/deploy.md): build/package/ovtransfer-x86.cab, ovtransfer-x64.cab and
# ovtransfer-VERSION.zip holding both; signed when SIGN_CERT and SIGN_KEY name a code-signing
# certificate and its key (SIGN_PASS_FILE: the key's password, if it has one).
.PHONY: package
package: build
	bash deploy/package.sh $(BUILD)/package x86=$(WIN32)/bin x64=$(WIN)/bin

# What a site installs: build/deb/ovreceiver_VERSION_ARCH.deb (docs/receiver.md). The
# receiver's tests build it too, and check it with lintian, unpacked, and its unit.
deb: receiver
	bash packaging/ovreceiver/build-deb.sh $(RECEIVER)/ovreceiver $(BUILD)/deb

clean:
	-for prefix in $(CURDIR)/$(BUILD)/wine*; do [ -d "$$prefix" ] && WINEPREFIX=$$prefix wineserver -k 2>/dev/null; done
	rm -rf $(BUILD)
