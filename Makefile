# The project's whole interface: make build | test | demo | clean.
SHELL := bash
BUILD := build
WIN := $(BUILD)/win
RECEIVER := $(BUILD)/receiver
WINE_RUN := cmake/wine-run.sh
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
PACKAGES := g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 libwine-dev cmake make googletest python3 \
            xvfb imagemagick fonts-wqy-microhei gcab zip g++ libasio-dev libxxhash-dev libgtest-dev openssl
SERVERS := $(WIN)/bin/ovtransfer.dll $(WIN)/bin/ovnetsupport.dll $(WIN)/bin/ovengine.dll $(WIN)/bin/ovmediainfo.dll

.PHONY: deps build test demo bench clean

# Installs only what is missing, so a prepared machine asks nothing of the network.
deps:
	@missing=$$(for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing >/dev/null; \
	fi

# The native receiver first: the Windows tests upload to it.
build: deps
	@[ -f $(RECEIVER)/CMakeCache.txt ] || cmake -S receiver -B $(RECEIVER) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(RECEIVER) -j$$(nproc)
	@[ -f $(WIN)/CMakeCache.txt ] || cmake -S . -B $(WIN) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(WIN) -j$$(nproc)

test: build
	ctest --test-dir $(RECEIVER) --output-on-failure; receiver=$$?; \
	ctest --test-dir $(WIN) --output-on-failure && exit $$receiver

demo: build
	bash cmake/wine-prefix.sh $(SERVERS)
	cd examples && ../$(WINE_RUN) cscript //nologo scripting-demo.js
	bash cmake/demo.sh $(WIN)/bin $(RECEIVER)/ovreceiver

bench: build
	$(RECEIVER)/receiver_load_bench
	bash cmake/wine-prefix.sh $(SERVERS)
	$(WINE_RUN) $(WIN)/bin/queue_bench.exe
	OVRECEIVER=$(abspath $(RECEIVER))/ovreceiver $(WINE_RUN) $(WIN)/bin/engine_bench.exe
	OVRECEIVER=$(abspath $(RECEIVER))/ovreceiver $(WINE_RUN) $(WIN)/bin/upload_bench.exe

# What a site deploys: build/package/ovtransfer.cab and ovtransfer-VERSION.zip (docs/deploy.md).
.PHONY: package
package: build
	bash deploy/package.sh $(WIN)/bin $(BUILD)/package

clean:
	-WINEPREFIX=$(CURDIR)/$(BUILD)/wine wineserver -k 2>/dev/null
	rm -rf $(BUILD)
