"""The site's build hooks: the benchmark figures drawn and tabled from their data file, and the
overloaded methods of the module's stubs kept in the API reference."""

from __future__ import annotations

import copy
import importlib.util
import json
import re
import sys
from pathlib import Path

import griffe
import pytest

ROOT = Path(__file__).resolve().parents[2]
HOOKS = ROOT / "docs" / "hooks"


def _hook(name: str):
    found = importlib.util.spec_from_file_location(name, HOOKS / f"{name}.py")
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module
    found.loader.exec_module(module)
    return module


benchmarks = _hook("benchmarks")
stub_overloads = _hook("stub_overloads")

DATA = {
    "format": 1,
    "benchmarks": [
        {
            "id": "exchange",
            "kind": "exchange",
            "unit": "µs",
            "clients": {"library": "library", "pyserial": "pyserial and `struct`"},
            "arms": [
                {
                    "arm": "answers at once",
                    "decimals": 1,
                    "results": [
                        {"client": "library", "median": 30, "range": [29.04, 119.45]},
                        {"client": "pyserial", "median": 153.2, "range": [126.8, 299.5]},
                    ],
                },
                {
                    "arm": "after 1 ms",
                    "decimals": 0,
                    "results": [
                        {
                            "client": "library",
                            "median": 1247,
                            "range": [1212, 1411],
                            "processor": 66,
                            "processor_note": "5.3% of the time",
                        }
                    ],
                },
            ],
        },
        {
            "id": "threads",
            "kind": "throughput",
            "unit": "exchanges/s",
            "title": "three arms",
            "clients": {"library": "library", "baseline": "baseline"},
            "rows": [
                {
                    "row": "three threads",
                    "results": [
                        {"client": "library", "median": 21000, "range": [16500, 26000]},
                        {"client": "baseline", "median": 15800, "range": [10700, 19100]},
                    ],
                }
            ],
        },
    ],
}


def _load(tmp_path: Path, data: dict) -> dict:
    path = tmp_path / "benchmarks.json"
    path.write_text(json.dumps(data), encoding="utf-8")
    return benchmarks.load(path)


def test_tables_give_the_figures_as_measured(tmp_path):
    loaded = _load(tmp_path, DATA)
    assert loaded["exchange"].table().splitlines()[2:] == [
        # Decimals as given for the arm, trailing zeros kept; an empty cell is one space.
        "| answers at once | library | 30.0 µs (29.0–119.5) | |",
        "| | pyserial and `struct` | 153.2 µs (126.8–299.5) | |",
        "| after 1 ms | library | 1247 µs (1212–1411) | 66 µs, 5.3% of the time |",
    ]
    assert loaded["threads"].table().splitlines() == [
        "| three arms | library | baseline |",
        "|---|---|---|",
        # Rates grouped by thousands; the unit once, in the first column.
        "| three threads | 21,000 exchanges/s (16,500–26,000) | 15,800 (10,700–19,100) |",
    ]


def test_the_sites_data_draws_every_plot_the_same_each_build():
    loaded = benchmarks.load(ROOT / "docs" / benchmarks.DATA)
    pages = "\n".join(path.read_text(encoding="utf-8") for path in (ROOT / "docs").glob("*.md"))
    for identifier, benchmark in loaded.items():
        assert f"<!-- benchmark-table {identifier} -->" in pages
        for name in benchmark.plots:
            assert f"figures/{identifier}-{name}.svg" in pages
            drawn = benchmark.plot(name)
            assert drawn.lstrip().startswith(b"<?xml") and b"<svg" in drawn
            # No dates or random ids: the same data gives the same file, build after build.
            assert benchmark.plot(name) == drawn


def _broken(change) -> dict:
    data = copy.deepcopy(DATA)
    change(data)
    return data


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda d: d.update(format=2), "not benchmark data of format 1"),
        (
            lambda d: d["benchmarks"][0].update(kind="servo"),
            "benchmark 1: no kind 'servo' (known: exchange, throughput)",
        ),
        (
            lambda d: d["benchmarks"][1].update(id="exchange"),
            "benchmark 2: a second benchmark 'exchange'",
        ),
        (
            lambda d: d["benchmarks"][0]["arms"][1]["results"][0].pop("median"),
            "benchmark 1 ('exchange'), arm 2, result 1: no 'median'",
        ),
        (
            lambda d: d["benchmarks"][0]["arms"][0]["results"][1].update(median=400),
            "arm 1, result 2: the median 400 is outside [126.8, 299.5]",
        ),
        (
            lambda d: d["benchmarks"][0]["arms"][0]["results"][0].update(range=[29]),
            "arm 1, result 1: 'range' is [29], not [lowest, highest]",
        ),
        (
            lambda d: d["benchmarks"][0]["arms"][0].update(decimals=True),
            "arm 1: 'decimals' is True, not a number",
        ),
        (
            lambda d: d["benchmarks"][1]["rows"][0]["results"][1].update(client="floor"),
            "row 1, result 2: client 'floor' is not among the benchmark's",
        ),
    ],
)
def test_data_that_cannot_be_shown_is_refused_saying_where(tmp_path, change, message):
    with pytest.raises(benchmarks.BenchmarkDataError, match=re.escape(message)):
        _load(tmp_path, _broken(change))


def test_table_marks_become_tables_and_unknown_ones_fail_the_page(tmp_path):
    loaded = _load(tmp_path, DATA)
    page = "Before\n\n<!-- benchmark-table threads -->\n\nafter <!-- benchmark-table x -->\n"
    placed = benchmarks.place_tables(page, loaded, "benchmarks.md")
    assert placed == page.replace(
        "<!-- benchmark-table threads -->", loaded["threads"].table()
    ), "only a mark alone on its line is replaced"
    with pytest.raises(benchmarks.BenchmarkDataError, match="benchmarks.md: no benchmark 'x'"):
        benchmarks.place_tables("<!-- benchmark-table x -->", loaded, "benchmarks.md")


STUB = '''
import typing

class Handle:
    @typing.overload
    def Receive(self) -> int:
        """Receive data from the handle"""
    @typing.overload
    def Receive(self, obsolete: int) -> int:
        """[DEPRECATED] Receive current and return current"""
    def RequestStatus(self) -> None:
        """request handle status"""

@typing.overload
def detect(kind: str = "arm") -> list[str]: ...
@typing.overload
def detect(kinds: list[str], /) -> list[str]:
    """several kinds"""
'''


def test_overloads_without_an_implementation_stay_in_the_reference(tmp_path):
    stub = tmp_path / "handles.pyi"
    stub.write_text(STUB, encoding="utf-8")
    extensions = griffe.load_extensions(stub_overloads.StubOverloads)
    module = griffe.visit("handles", stub, STUB, extensions=extensions)

    receive = module["Handle"].members["Receive"]
    assert [len(overload.parameters) for overload in receive.overloads] == [1, 2]
    assert [parameter.name for parameter in receive.parameters] == ["self", "args", "kwargs"]
    assert receive.docstring.value == (
        "Overloaded function.\n\n"
        "1. `Receive() -> int`\n\n    Receive data from the handle\n\n"
        "2. `Receive(obsolete: int) -> int`\n\n"
        "    [DEPRECATED] Receive current and return current"
    )
    # A function that is not overloaded keeps its own signature and doc string.
    assert module["Handle"].members["RequestStatus"].docstring.value == "request handle status"

    detect = module.members["detect"]
    assert [parameter.name for parameter in detect.parameters] == ["args", "kwargs"]
    assert detect.docstring.value == (
        "Overloaded function.\n\n"
        "1. `detect(kind: str = 'arm') -> list[str]`\n\n"
        "2. `detect(kinds: list[str]) -> list[str]`\n\n    several kinds"
    )
