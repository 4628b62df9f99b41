# The front door: `make demo` runs the main job, `make test` the test suite,
# `make docs` builds the documentation site into docs/_build/html, `make wheel`
# a self-contained manylinux wheel in dist/.
PY := .venv/bin/python

.PHONY: setup test demo docs wheel wheel-smoke clean

setup:
	@scripts/setup.sh

test: setup
	$(PY) -m pytest -q

demo: setup
	$(PY) examples/demo.py

# Offline, every warning an error (-W), every reference checked (-n).
docs: setup
	$(PY) -m sphinx -b html -W -n --keep-going -E -q docs docs/_build/html
	@echo "docs: docs/_build/html/index.html"

# The wheel carries GDAL, PROJ, libpq and their data (scripts/build_wheel.sh);
# wheel-smoke installs it into a fresh environment and converts with the
# system's GDAL hidden (root; tests/test_wheel.py runs it within `make test`).
wheel: setup
	scripts/build_wheel.sh

wheel-smoke: wheel
	/usr/bin/python3 scripts/wheel_smoke.py

clean:
	rm -rf build .venv dist docs/_build
