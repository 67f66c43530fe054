"""A griffe extension for stubs: an overloaded function of a stub has its `@overload`
signatures only, no implementation, and griffe attaches overloads to an implementation, so it
would leave the function out. This one makes the function itself, as pybind11 does at run time:
a signature of `*args, **kwargs` and a doc string that pairs each overload's signature with its
doc string, in their order."""

from __future__ import annotations

from typing import Any, Union

from griffe import (
    Class,
    Docstring,
    Extension,
    Function,
    Module,
    Parameter,
    ParameterKind,
    Parameters,
)

STARS = {ParameterKind.var_positional: "*", ParameterKind.var_keyword: "**"}


def signature(function: Function, method: bool) -> str:
    parameters = list(function.parameters)[1 if method else 0 :]
    shown = []
    for parameter in parameters:
        text = STARS.get(parameter.kind, "") + parameter.name
        if parameter.annotation is not None:
            text += f": {parameter.annotation}"
        if parameter.default is not None:
            text += f" = {parameter.default}"
        shown.append(text)
    returns = f" -> {function.returns}" if function.returns is not None else ""
    return f"{function.name}({', '.join(shown)}){returns}"


def docstring(overloads: list[Function], method: bool) -> str:
    entries = ["Overloaded function."]
    for number, overload in enumerate(overloads, 1):
        text = overload.docstring.value if overload.docstring else ""
        entries.append(f"{number}. `{signature(overload, method)}`\n\n    {text}".rstrip())
    return "\n\n".join(entries)


class StubOverloads(Extension):
    """Gives each overloaded function that has no implementation one of its own."""

    def on_class_members(self, *, cls: Class, **kwargs: Any) -> None:
        self._complete(cls, method=True)

    def on_module_members(self, *, mod: Module, **kwargs: Any) -> None:
        self._complete(mod, method=False)

    @staticmethod
    def _complete(parent: Union[Class, Module], method: bool) -> None:
        for name, overloads in list(parent.overloads.items()):
            if not overloads or name in parent.members:
                continue
            arguments = [
                Parameter("args", kind=ParameterKind.var_positional),
                Parameter("kwargs", kind=ParameterKind.var_keyword),
            ]
            if method:
                arguments.insert(0, Parameter("self", kind=ParameterKind.positional_or_keyword))
            function = Function(
                name,
                lineno=overloads[0].lineno,
                endlineno=overloads[-1].endlineno,
                parameters=Parameters(*arguments),
                docstring=Docstring(docstring(overloads, method), lineno=overloads[0].lineno),
                parent=parent,
            )
            function.overloads = overloads
            parent.set_member(name, function)
            del parent.overloads[name]
