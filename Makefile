# The front door: `make demo` runs the main job, `make test` the test suite,
# `make wheel` a self-contained manylinux wheel in dist/.
PY := .venv/bin/python

.PHONY: setup test demo wheel wheel-smoke clean

setup:
	@scripts/setup.sh

test: setup
	$(PY) -m pytest -q

demo: setup
	$(PY) examples/demo.py

# The wheel carries GDAL, PROJ, libpq and their data (scripts/build_wheel.sh);
# wheel-smoke installs it into a fresh environment and converts with the
# system's GDAL hidden (root; tests/test_wheel.py runs it within `make test`).
wheel: setup
	scripts/build_wheel.sh

wheel-smoke: wheel
	/usr/bin/python3 scripts/wheel_smoke.py

clean:
	rm -rf build .venv dist
