import contextlib
import glob
import io
import json
import os
import platform
import shutil
import subprocess
import sys

import pytest

import OrnixHardwareAPI as ornix


def test_module_carries_its_doc_string_and_version():
    assert ornix.__doc__ == "Python Implementation of the Ornix Hardware API"
    assert ornix.__version__ == "dev"


def test_cpp_version():
    assert ornix.get_cpp_version() == "0.1.7"


def test_print_cpp_version_writes_to_the_process_output_not_sys_stdout(native_output):
    python_side = io.StringIO()
    with contextlib.redirect_stdout(python_side):
        assert ornix.print_cpp_version() is None
    assert python_side.getvalue() == ""
    assert native_output.read().out == "Library version: 0.1.7\n"


@pytest.mark.parametrize(
    "function, doc",
    [
        (ornix.get_cpp_version, "get_cpp_version() -> str\n\nGet the version of the CPP library\n"),
        (
            ornix.print_cpp_version,
            "print_cpp_version() -> None\n\nPrint the version of the CPP library\n",
        ),
        (
            ornix.SerialStream.__init__,
            "__init__(self: OrnixHardwareAPI.SerialStream, arg0: str) -> None\n\n"
            "Initialize the serial stream\n",
        ),
    ],
)
def test_doc_strings_begin_with_the_signature(function, doc):
    assert function.__doc__ == doc


def test_version_functions_take_no_arguments():
    with pytest.raises(TypeError):
        ornix.get_cpp_version(1)
    with pytest.raises(TypeError):
        ornix.print_cpp_version("x")


IMPORT_IN_ANOTHER_INTERPRETER = """
import json, sys
sys.path.insert(0, sys.argv[1])
try:
    import OrnixHardwareAPI
except ImportError as error:
    print(json.dumps([str(error), sys.version]))
else:
    print(json.dumps(None))
"""


def interpreters_of_other_minor_versions():
    """Interpreters of this implementation but another minor version: on PATH, or beside
    this one under pyenv."""
    prefix = "pypy3." if platform.python_implementation() == "PyPy" else "python3."
    pyenv = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    # pyenv's shims run whichever version is selected, not the one their name gives.
    directories = [d for d in os.environ.get("PATH", "").split(os.pathsep) if "shims" not in d]
    directories += sorted(glob.glob(os.path.join(pyenv, "versions", "*", "bin")))
    found = {}
    for directory in directories:
        for path in sorted(glob.glob(os.path.join(directory, prefix + "[0-9]*"))):
            suffix = os.path.basename(path)[len(prefix) :]
            if not suffix.isdigit() or int(suffix) == sys.version_info.minor:
                continue
            if int(suffix) not in found and os.access(path, os.X_OK):
                found[int(suffix)] = path
    return [found[minor] for minor in sorted(found)]


# Builds and imports under another interpreter, which the sanitizer runtimes are not preloaded in.
@pytest.mark.unsanitized
def test_import_under_another_minor_version_fails_with_the_version_mismatch(tmp_path):
    interpreters = interpreters_of_other_minor_versions()
    if not interpreters:
        pytest.skip("no interpreter of another minor version here")
    # Under its own name without the interpreter tag, any interpreter's loader takes the file; the
    # shared library it links goes where its run path looks, beside it in the package's folder.
    shutil.copy(ornix.__file__, tmp_path / "OrnixHardwareAPI.so")
    installed = os.path.join(os.path.dirname(ornix.__file__), "ornix")
    for library in glob.glob(os.path.join(installed, "libOrnixHardware.*")):
        os.makedirs(tmp_path / "ornix", exist_ok=True)
        shutil.copy(library, tmp_path / "ornix")
    compiled_for = f"{sys.version_info.major}.{sys.version_info.minor}"
    reached_the_check = []
    for interpreter in interpreters:
        run = subprocess.run(
            [interpreter, "-c", IMPORT_IN_ANOTHER_INTERPRETER, str(tmp_path)],
            capture_output=True,
            text=True,
            timeout=60,
        )
        assert run.returncode == 0, f"{interpreter}: {run.stderr}"
        outcome = json.loads(run.stdout)
        assert outcome is not None, f"{interpreter} imported a module built for {compiled_for}"
        message, version = outcome
        # Some loaders stop earlier, at a symbol their interpreter lacks.
        if message.startswith("Python version mismatch"):
            assert message == (
                f"Python version mismatch: module was compiled for Python {compiled_for}, "
                f"but the interpreter version is incompatible: {version}."
            )
            reached_the_check.append(interpreter)
    if not reached_the_check:
        pytest.skip(f"no loader of {interpreters} got as far as the module's version check")
