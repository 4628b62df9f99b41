# The front door: `make demo` runs the main job, `make test` the test suite.
PY := .venv/bin/python

.PHONY: setup test demo clean

setup:
	@scripts/setup.sh

test: setup
	$(PY) -m pytest -q

demo: setup
	$(PY) examples/demo.py

clean:
	rm -rf build .venv
