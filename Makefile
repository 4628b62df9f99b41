# The front door: `make demo` runs the main job, `make test` the test suite,
# `make docs` builds the documentation site into docs/_build/html.
PY := .venv/bin/python

.PHONY: setup test demo docs clean

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

clean:
	rm -rf build .venv docs/_build
