"""The benchmark figures of the site: plots drawn with matplotlib at build time, and tables, both
from docs/data/benchmarks.json, the figures' one home.

The data file holds `{"format": 1, "benchmarks": [...]}`; each benchmark has an `id`, a `kind`,
its `unit` and its `clients` (by id, each with its label), and then the results its kind reads
(the pages say how and where the figures were measured):

- `exchange`: `arms`, each an `arm` (how the virtual arm answers), the `decimals` its times are
  given with and `results`, one per client: the `median` time per exchange, the rounds'
  `range` and, where measured, the `processor` time per exchange with an optional
  `processor_note`;
- `throughput`: a `title` and `rows`, each a `row` and `results`, one per client: the `median`
  rate and the rounds' `range`.

A benchmark of another kind (such as the servo loop's) is one more entry there and one more
kind here. A page shows a benchmark's table with the line `<!-- benchmark-table ID -->` and
its plots as the images `figures/ID-PLOT.svg`, whose names each kind gives.
"""

from __future__ import annotations

import io
import json
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Optional

DATA = Path("data", "benchmarks.json")
FORMAT = 1
TABLE_MARK = re.compile(r"^<!-- benchmark-table (\S+) -->$", re.MULTILINE)
# One colour per client, the same in every plot.
COLOURS = ["#1f5fa8", "#9a9a9a", "#d9822b", "#3a9a5b", "#8e44ad", "#c0392b"]


class BenchmarkDataError(ValueError):
    """The data file does not hold benchmarks this hook can show."""


@dataclass(frozen=True)
class Result:
    """One client's figure: the median of the rounds' medians and the rounds' range."""

    client: str
    median: float
    low: float
    high: float
    processor: Optional[float] = None
    processor_note: Optional[str] = None


def _field(entry: dict[str, Any], name: str, where: str) -> Any:
    if name not in entry:
        raise BenchmarkDataError(f"{where}: no '{name}'")
    return entry[name]


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _number(entry: dict[str, Any], name: str, where: str) -> float:
    value = _field(entry, name, where)
    if not _is_number(value):
        raise BenchmarkDataError(f"{where}: '{name}' is {value!r}, not a number")
    return float(value)


def _range(entry: dict[str, Any], where: str) -> tuple[float, float]:
    spread = _field(entry, "range", where)
    if not (isinstance(spread, list) and len(spread) == 2 and all(map(_is_number, spread))):
        raise BenchmarkDataError(f"{where}: 'range' is {spread!r}, not [lowest, highest]")
    return float(spread[0]), float(spread[1])


def _results(entries: list[dict[str, Any]], clients: dict[str, str], where: str) -> list[Result]:
    results = []
    for number, entry in enumerate(entries, 1):
        at = f"{where}, result {number}"
        client = _field(entry, "client", at)
        if client not in clients:
            raise BenchmarkDataError(f"{at}: client '{client}' is not among the benchmark's")
        low, high = _range(entry, at)
        median = _number(entry, "median", at)
        if not low <= median <= high:
            raise BenchmarkDataError(f"{at}: the median {median:g} is outside [{low:g}, {high:g}]")
        processor = _number(entry, "processor", at) if "processor" in entry else None
        results.append(Result(client, median, low, high, processor, entry.get("processor_note")))
    return results


def _format(value: float, decimals: int, grouped: bool = False) -> str:
    return f"{value:,.{decimals}f}" if grouped else f"{value:.{decimals}f}"


def _row(cells: list[str]) -> str:
    """A row of a Markdown table; an empty cell is a single space, as in the pages' own tables."""
    return "|" + "|".join(f" {cell} " if cell else " " for cell in cells) + "|"


def _figure(width: float, height: float) -> Any:
    # Imported here, so that the tables need no matplotlib; Agg draws without a display.
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot

    pyplot.rcParams["svg.hashsalt"] = "ornix"
    return pyplot.figure(figsize=(width, height), layout="constrained")


def _svg(figure: Any) -> bytes:
    from matplotlib import pyplot

    out = io.BytesIO()
    figure.savefig(out, format="svg", metadata={"Date": None})
    pyplot.close(figure)
    return out.getvalue()


def _bars(axes: Any, bars: list[tuple[str, str, float, Optional[tuple[float, float]]]]) -> None:
    """Horizontal bars from the top down, each a label, a colour, a value and the range of the
    rounds (None for a value without one), drawn as whiskers."""
    rows = list(range(len(bars)))[::-1]
    for row, (_, colour, value, spread) in zip(rows, bars):
        axes.barh(row, value, color=colour, height=0.6)
        if spread is not None:
            low, high = spread
            axes.errorbar(value, row, xerr=[[value - low], [high - value]], fmt="none", ecolor="k")
    axes.set_yticks(rows, [_plain(label) for label, _, _, _ in bars])
    axes.set_xlim(left=0)
    axes.grid(axis="x", alpha=0.3)


class Exchange:
    """Time per exchange by how the arm answers and by client, and processor time per
    exchange."""

    plots = ("time", "processor")

    def __init__(self, entry: dict[str, Any], where: str) -> None:
        self.clients: dict[str, str] = _field(entry, "clients", where)
        self.unit: str = _field(entry, "unit", where)
        self.arms = []
        for number, arm in enumerate(_field(entry, "arms", where), 1):
            at = f"{where}, arm {number}"
            results = _results(_field(arm, "results", at), self.clients, at)
            self.arms.append((_field(arm, "arm", at), int(_number(arm, "decimals", at)), results))

    def _colour(self, client: str) -> str:
        return COLOURS[list(self.clients).index(client) % len(COLOURS)]

    def table(self) -> str:
        lines = [
            "| arm | client | time per exchange | processor time per exchange |",
            "|---|---|---|---|",
        ]
        for arm, decimals, results in self.arms:
            for index, result in enumerate(results):
                time = (
                    f"{_format(result.median, decimals)} {self.unit} "
                    f"({_format(result.low, decimals)}–{_format(result.high, decimals)})"
                )
                processor = ""
                if result.processor is not None:
                    processor = f"{_format(result.processor, decimals)} {self.unit}"
                    if result.processor_note:
                        processor += f", {result.processor_note}"
                label = self.clients[result.client]
                lines.append(_row([arm if index == 0 else "", label, time, processor]))
        return "\n".join(lines)

    def plot(self, name: str) -> bytes:
        figure = _figure(9, 5.5)
        for axes, (arm, _, results) in zip(figure.subplots(2, 2).flat, self.arms):
            if name == "time":
                shown = [(result, result.median, (result.low, result.high)) for result in results]
                axis = f"time per exchange ({self.unit})"
            else:
                shown = [(r, r.processor, None) for r in results if r.processor is not None]
                axis = f"processor time per exchange ({self.unit})"
            _bars(
                axes, [(self.clients[r.client], self._colour(r.client), v, s) for r, v, s in shown]
            )
            axes.set_title(f"arm {arm}", fontsize="medium")
            axes.set_xlabel(axis, fontsize="small")
        return _svg(figure)


class Throughput:
    """Exchanges a second of several arms together, by how they are driven and by client."""

    plots = ("rate",)

    def __init__(self, entry: dict[str, Any], where: str) -> None:
        self.clients: dict[str, str] = _field(entry, "clients", where)
        self.unit: str = _field(entry, "unit", where)
        self.title: str = _field(entry, "title", where)
        self.rows = []
        for number, row in enumerate(_field(entry, "rows", where), 1):
            at = f"{where}, row {number}"
            self.rows.append(
                (_field(row, "row", at), _results(_field(row, "results", at), self.clients, at))
            )

    def table(self) -> str:
        labels = [self.clients[client] for client in self.clients]
        lines = [f"| {self.title} | {' | '.join(labels)} |", "|---" * (len(labels) + 1) + "|"]
        for row, results in self.rows:
            by_client = {result.client: result for result in results}
            cells = []
            for index, client in enumerate(self.clients):
                result = by_client.get(client)
                if result is None:
                    cells.append("")
                    continue
                unit = f" {self.unit}" if index == 0 else ""
                cells.append(
                    f"{_format(result.median, 0, True)}{unit} "
                    f"({_format(result.low, 0, True)}–{_format(result.high, 0, True)})"
                )
            lines.append(_row([row, *cells]))
        return "\n".join(lines)

    def plot(self, name: str) -> bytes:
        figure = _figure(8, 3)
        axes = figure.subplots()
        clients = list(self.clients)
        height = 0.8 / len(clients)
        for index, (row, results) in enumerate(self.rows):
            centre = len(self.rows) - 1 - index
            for result in results:
                column = clients.index(result.client)
                y = centre + ((len(clients) - 1) / 2 - column) * height
                colour = COLOURS[column % len(COLOURS)]
                label = _plain(self.clients[result.client]) if index == 0 else None
                axes.barh(y, result.median, height=height * 0.9, color=colour, label=label)
                spread = [[result.median - result.low], [result.high - result.median]]
                axes.errorbar(result.median, y, xerr=spread, fmt="none", ecolor="k")
        axes.set_yticks(range(len(self.rows))[::-1], [row for row, _ in self.rows])
        axes.set_xlim(left=0)
        axes.set_xlabel(self.unit, fontsize="small")
        axes.set_title(self.title, fontsize="medium")
        axes.grid(axis="x", alpha=0.3)
        figure.legend(loc="outside right upper", fontsize="small")
        return _svg(figure)


KINDS: dict[str, Any] = {"exchange": Exchange, "throughput": Throughput}


def _plain(label: str) -> str:
    """A Markdown label as a plot shows it: without code marks."""
    return label.replace("`", "")


def load(path: Path) -> dict[str, Any]:
    """The benchmarks of the data file at `path`, by id."""
    try:
        data = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError) as error:
        raise BenchmarkDataError(f"{path}: {error}") from None
    if not isinstance(data, dict) or data.get("format") != FORMAT:
        raise BenchmarkDataError(f"{path}: not benchmark data of format {FORMAT}")
    benchmarks: dict[str, Any] = {}
    for number, entry in enumerate(_field(data, "benchmarks", str(path)), 1):
        where = f"{path}, benchmark {number}"
        identifier = _field(entry, "id", where)
        kind = _field(entry, "kind", where)
        if kind not in KINDS:
            raise BenchmarkDataError(f"{where}: no kind '{kind}' (known: {', '.join(KINDS)})")
        if identifier in benchmarks:
            raise BenchmarkDataError(f"{where}: a second benchmark '{identifier}'")
        benchmarks[identifier] = KINDS[kind](entry, f"{where} ('{identifier}')")
    return benchmarks


def place_tables(markdown: str, benchmarks: dict[str, Any], page: str) -> str:
    """The page with each table mark replaced by that benchmark's table."""

    def table(mark: re.Match) -> str:
        identifier = mark.group(1)
        if identifier not in benchmarks:
            raise BenchmarkDataError(f"{page}: no benchmark '{identifier}' in {DATA}")
        return benchmarks[identifier].table()

    return TABLE_MARK.sub(table, markdown)


# The mkdocs events: read the data once per build, add the plots to the site's files, place the
# tables in the pages.
_benchmarks: dict[str, Any] = {}


def on_files(files: Any, config: Any) -> Any:
    from mkdocs.exceptions import PluginError
    from mkdocs.structure.files import File

    global _benchmarks
    try:
        _benchmarks = load(Path(config["docs_dir"]) / DATA)
    except BenchmarkDataError as error:
        raise PluginError(str(error)) from None
    for identifier, benchmark in _benchmarks.items():
        for name in benchmark.plots:
            path = f"figures/{identifier}-{name}.svg"
            files.append(File.generated(config, path, content=benchmark.plot(name)))
    return files


def on_page_markdown(markdown: str, page: Any, config: Any, files: Any) -> str:
    from mkdocs.exceptions import PluginError

    try:
        return place_tables(markdown, _benchmarks, page.file.src_uri)
    except BenchmarkDataError as error:
        raise PluginError(str(error)) from None
