"""Lays out the module's stubs for the API reference as the wheel installs them: a stub-only
package `OrnixHardwareAPI-stubs`, which griffe reads in place of the compiled module, so that the
site builds without the C++ build."""

from __future__ import annotations

import shutil
from pathlib import Path

from mkdocs.config.defaults import MkDocsConfig
from mkdocs.plugins import event_priority

# Where mkdocs.yml points the Python handler; build/ is the worktree's, and ignored by git.
STUBS = Path("build", "docs", "stubs")


@event_priority(100)
def on_config(config: MkDocsConfig) -> MkDocsConfig:
    root = Path(config.config_file_path).parent
    package = root / STUBS / "OrnixHardwareAPI-stubs"
    package.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(root / "bindings" / "OrnixHardwareAPI.pyi", package / "__init__.pyi")
    return config
