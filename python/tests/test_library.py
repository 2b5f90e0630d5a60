"""Finding the native library: each way in its own interpreter, and the message when none works."""

import ctypes.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[1] / "halvex"
LIBRARY = os.environ["HALVEX_LIBRARY"]
PROBE = "import halvex._library as l; print(l.library().halvex_path); print(len(__import__('halvex').boards()))"


def copy_package(root, with_library=False, recorded=None):
    target = root / "halvex"
    target.mkdir(parents=True)
    for source in PACKAGE.glob("*.py"):
        if source.name != "_recorded.py":
            shutil.copy(source, target)
    if with_library:
        shutil.copy(LIBRARY, target / "libhalvex.so.0")
    if recorded is not None:
        (target / "_recorded.py").write_text(f"LIBRARY_DIR = {str(recorded)!r}\n")
    return root


def run(root, **env):
    environment = {k: v for k, v in os.environ.items() if k not in ("HALVEX_LIBRARY", "LD_LIBRARY_PATH", "HALVEX_SIM_BOARDS")}
    environment.update(PYTHONPATH=str(root), **env)
    return subprocess.run([sys.executable, "-c", PROBE], env=environment, capture_output=True, text=True, cwd=root,
                          timeout=60)


@pytest.fixture
def library_dir(tmp_path):
    directory = tmp_path / "lib"
    directory.mkdir()
    shutil.copy(LIBRARY, directory / "libhalvex.so.0")
    return directory


@pytest.mark.parametrize("way", ["variable", "beside", "recorded", "loader"])
def test_each_way_finds_the_library(tmp_path, library_dir, way):
    if way == "variable":
        result, expected = run(copy_package(tmp_path / "pkg"), HALVEX_LIBRARY=LIBRARY), LIBRARY
    elif way == "beside":
        root = copy_package(tmp_path / "pkg", with_library=True)
        result, expected = run(root), str(root / "halvex" / "libhalvex.so.0")
    elif way == "recorded":
        result, expected = run(copy_package(tmp_path / "pkg", recorded=library_dir)), str(library_dir / "libhalvex.so.0")
    else:
        result, expected = run(copy_package(tmp_path / "pkg"), LD_LIBRARY_PATH=str(library_dir)), "libhalvex.so.0"
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [expected, "3"]


def test_when_nothing_works_the_error_names_every_place(tmp_path):
    if ctypes.util.find_library("halvex"):
        pytest.skip("a Halvex library is installed system-wide")
    empty = tmp_path / "empty"
    empty.mkdir()
    root = copy_package(tmp_path / "pkg", recorded=empty)
    result = run(root)
    assert result.returncode != 0
    assert "LibraryNotFound" in result.stderr
    for place in ("beside the package", str(root / "halvex" / "libhalvex.so.0"), "install prefix",
                  str(empty / "libhalvex.so.0"), "system loader", "HALVEX_LIBRARY"):
        assert place in result.stderr


def test_a_named_library_is_never_passed_over(tmp_path):
    # A library beside the package would load, but the variable names another one on purpose.
    root = copy_package(tmp_path / "pkg", with_library=True)
    missing = run(root, HALVEX_LIBRARY=str(tmp_path / "nowhere.so"))
    assert missing.returncode != 0 and "nowhere.so" in missing.stderr
    other = run(root, HALVEX_LIBRARY=ctypes.util.find_library("m"))
    assert other.returncode != 0 and "not a Halvex library" in other.stderr


SHUTDOWN_DURING_CALLBACK = """
import ctypes, threading, time
import halvex
from halvex._library import RAW_CALLBACK, library

halvex.sim.use_default_boards()
lib = library()
entered = threading.Event()

def slow(context, board, sequencer, count, words):
    entered.set()
    time.sleep(0.5)  # the interpreter shuts down meanwhile; waking, this thread is ended

callback = RAW_CALLBACK(slow)
assert lib.ADC_SetRate(1, 0, ctypes.c_double(100000.0)) == 0
assert lib.HX_SetChunkSize(1, 0, 4096) == 0
assert lib.HX_SetCallbackContext(1, 0, 0x00776152, ctypes.cast(callback, ctypes.c_void_p), None) == 0
assert lib.ADC_AcquireStream(1, 0) == 0
assert entered.wait(20)
print("leaving", flush=True)
"""


def test_the_interpreter_may_end_while_a_callback_runs():
    # The runtime ends the callback's thread with a forced unwind; the library lets it pass, so the
    # process ends normally instead of aborting.
    environment = dict(os.environ, PYTHONPATH=str(PACKAGE.parent))
    result = subprocess.run([sys.executable, "-c", SHUTDOWN_DURING_CALLBACK], env=environment, capture_output=True,
                            text=True, timeout=60)
    assert "leaving" in result.stdout, result.stderr
    assert result.returncode == 0, result.stderr
    assert "FATAL" not in result.stderr


def test_a_missing_numpy_is_one_clear_message_at_import(tmp_path):
    blocked = "import sys; sys.modules['numpy'] = None\nimport halvex"
    environment = dict(os.environ, PYTHONPATH=str(PACKAGE.parent))
    result = subprocess.run([sys.executable, "-c", blocked], env=environment, capture_output=True, text=True,
                            timeout=60)
    assert result.returncode != 0
    last = result.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: halvex needs numpy") and "python3-numpy" in last and "pip install numpy" in last
    assert result.stderr.count("Traceback") == 1  # not a chain of them


def test_pip_installs_the_package_into_a_virtual_environment(tmp_path):
    # Offline: the build uses this Python's setuptools, and numpy comes from its site packages.
    source = tmp_path / "source"
    source.mkdir()
    shutil.copy(PACKAGE.parent / "pyproject.toml", source)
    copy_package(source)
    venv = tmp_path / "venv"
    made = subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], capture_output=True,
                          text=True, timeout=120)
    python = venv / "bin" / "python"
    if made.returncode != 0 or subprocess.run([str(python), "-m", "pip", "--version"],
                                              capture_output=True, timeout=60).returncode != 0:
        pytest.skip("no venv with pip and setuptools here: " + made.stderr.strip()[-200:])
    installed = subprocess.run([str(python), "-m", "pip", "install", "--no-build-isolation", "--no-deps", "--no-index",
                                "--quiet", str(source)], capture_output=True, text=True, timeout=300)
    assert installed.returncode == 0, installed.stderr
    environment = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    environment["HALVEX_LIBRARY"] = LIBRARY
    result = subprocess.run([str(venv / "bin" / "halvex"), "boards"], env=environment, capture_output=True,
                            text=True, timeout=60, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.count("<Board ") == 3
    where = subprocess.run([str(python), "-c", "import halvex; print(halvex.__file__)"], env=environment,
                           capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert where.stdout.startswith(str(venv))
