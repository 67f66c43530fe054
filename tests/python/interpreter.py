"""What the tests allow for between the interpreters the module is built for."""

import platform

import pytest

PYPY = platform.python_implementation() == "PyPy"


def assert_refuses_new_attributes(instance):
    """CPython refuses attributes the class does not declare. PyPy's emulation of the extension
    interface gives every instance of an extension type a dictionary, so there they are kept."""
    if PYPY:
        instance.extra = 1
        assert instance.extra == 1
    else:
        with pytest.raises(AttributeError):
            instance.extra = 1
