# The two set-up commands: `make run` and `make test`.
NATIVE_LEGS := default asan tsan

.PHONY: run test build $(addprefix leg-,$(NATIVE_LEGS))

build:
	cmake --preset default >/dev/null
	cmake --build --preset default

run: build
	./build/peerdir

test: $(addprefix leg-,$(NATIVE_LEGS))

# A static pattern rule: make skips the implicit-rule search for .PHONY
# targets, so a plain `leg-%:` rule would never run and `make test` would
# pass having done nothing.
$(addprefix leg-,$(NATIVE_LEGS)): leg-%:
	@echo "== test leg: $*"
	cmake --preset $* >/dev/null
	cmake --build --preset $*
	ctest --preset $*
