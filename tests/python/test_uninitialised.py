"""Objects made with __new__ alone, whose __init__ never ran, are refused by every method and as
every argument, with TypeError naming their class: nothing reads the storage behind them. Objects
of another type given to a method taken from the class are refused as the binding layer refuses
any wrong argument, under every interpreter."""

import re

import pytest

import OrnixHardwareAPI as ornix


class Subclass(ornix.Handle):
    def OnReceiveHandleStatusMessage(self, *fields):
        pass


def methods(cls):
    """Each method the module defines on the class, with arguments for each of its forms."""
    for name in sorted(dir(cls)):
        method = getattr(cls, name)
        doc = getattr(method, "__doc__", None) or ""
        forms = re.findall(rf"^(?:\d+\. )?{name}\((.*)\) -> ", doc, re.MULTILINE)
        for parameters in forms:
            if name != "__init__":
                yield name, [0] * required_after_self(parameters)


def required_after_self(parameters):
    """How many parameters after `self` have no default, in a printed signature."""
    depth, pieces, piece = 0, [], ""
    for character in parameters:
        depth += {"[": 1, "]": -1}.get(character, 0)
        if character == "," and depth == 0:
            pieces.append(piece)
            piece = ""
        else:
            piece += character
    pieces.append(piece)
    return sum(" = " not in piece for piece in pieces[1:])


CASES = [
    (cls, name, arguments)
    for cls in (ornix.Ostrel3, ornix.Handle, Subclass, ornix.UUID)
    for name, arguments in methods(cls)
]


@pytest.mark.parametrize(
    "cls, name, arguments", CASES, ids=[f"{c.__name__}.{n}({len(a)})" for c, n, a in CASES]
)
def test_every_method_refuses_an_object_whose_init_never_ran(cls, name, arguments):
    half_built = cls.__new__(cls)
    named = re.escape(f"{cls.__module__}.{cls.__qualname__}")
    with pytest.raises(TypeError, match=rf"^{named} object is not initialised"):
        getattr(half_built, name)(*arguments)


MODULE_CASES = [case for case in CASES if case[0] is not Subclass]


@pytest.mark.parametrize(
    "cls, name, arguments",
    MODULE_CASES,
    ids=[f"{c.__name__}.{n}({len(a)})" for c, n, a in MODULE_CASES],
)
@pytest.mark.parametrize("other", [None, 7, object()], ids=["None", "int", "object"])
def test_every_method_taken_unbound_refuses_an_object_of_another_type(cls, name, arguments, other):
    with pytest.raises(TypeError, match=r"^[A-Za-z_]+\(\): incompatible function arguments"):
        getattr(cls, name)(other, *arguments)


def test_a_motion_command_taken_unbound_refuses_none_with_its_vector():
    with pytest.raises(TypeError, match=r"^end_effector_force\(\): incompatible function"):
        ornix.Ostrel3.end_effector_force(None, [0, 0, 1.5])


@pytest.mark.parametrize("cls", [ornix.Ostrel3, ornix.Handle, ornix.UUID])
def test_every_method_is_covered(cls):
    defined = {name for name in vars(cls) if not name.startswith("_")}
    assert defined <= {name for case, name, _ in CASES if case is cls}


@pytest.mark.parametrize("device", [ornix.Ostrel3, ornix.Handle, Subclass])
def test_a_stream_whose_init_never_ran_is_refused(device):
    stream = ornix.SerialStream.__new__(ornix.SerialStream)
    with pytest.raises(TypeError, match="^OrnixHardwareAPI.SerialStream object is not initialised"):
        device(stream)
