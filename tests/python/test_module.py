import contextlib
import io

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
