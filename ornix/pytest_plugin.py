"""The `ornix_sim` fixture for pytest: add `pytest_plugins = ["ornix.pytest_plugin"]` to a
`conftest.py`."""

from __future__ import annotations

from typing import Any, Callable, Iterator

import pytest

from .testing import VirtualDevices


@pytest.fixture
def ornix_sim() -> Iterator[Callable[..., VirtualDevices]]:
    """Starts virtual devices for the test, stopped when it ends:
    `ornix_sim("arm", "--delay", "5").ports["arm"]` is the port of a virtual arm."""
    started: list[VirtualDevices] = []

    def start(*args: str, **options: Any) -> VirtualDevices:
        started.append(VirtualDevices(*args, **options))
        return started[-1]

    yield start
    for devices in started:
        devices.close()
