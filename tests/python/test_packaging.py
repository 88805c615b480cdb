"""The wheel as a user gets it: its metadata and contents, an install into a fresh virtual
environment, the converter there, a clean uninstall; and the type stub against the built module.

Slow (the wheel build compiles the whole project and fetches the build backend from the package
index): select with `-m packaging`, leave out with `-m "not packaging"`.
"""
import email.parser
import json
import os
import pathlib
import subprocess
import sys
import sysconfig
import tomllib
import zipfile

import pytest

import velmora

pytestmark = pytest.mark.packaging

ROOT = pathlib.Path(__file__).resolve().parents[2]
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
EXTENSION = "velmora" + sysconfig.get_config_var("EXT_SUFFIX")  # velmora.cpython-312-x86_64-linux-gnu.so
DOCUMENT = '<feed a="1"><e>caf\u00e9</e><e>2</e><empty/></feed>'


def clean_env():
    """The environment without anything that would let a test see the checkout's build."""
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV")}


def run(cmd, timeout, **kw):
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=clean_env(), **kw)
    assert proc.returncode == 0, f"{cmd} failed:\n{proc.stdout[-3000:]}\n{proc.stderr[-3000:]}"
    return proc


def base_python():
    """The interpreter the running venv was made from (a venv inside a venv would share its packages)."""
    candidate = getattr(sys, "_base_executable", None)
    if candidate and os.path.exists(candidate):
        return candidate
    return os.path.join(sys.base_prefix, "bin", f"python{sys.version_info.major}.{sys.version_info.minor}")


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheelhouse")
    build = tmp_path_factory.mktemp("wheel-build")  # keep the build out of the checkout
    run(
        [sys.executable, "-m", "pip", "wheel", str(ROOT), "--no-deps", "-w", str(out),
         "--disable-pip-version-check", f"--config-settings=build-dir={build}"],
        timeout=1500,
    )
    (path,) = out.glob("velmora-*.whl")
    return path


@pytest.fixture(scope="module")
def installed(wheel, tmp_path_factory):
    """A fresh virtual environment with the wheel installed; yields (python, bin dir, site-packages)."""
    venv = tmp_path_factory.mktemp("fresh") / "venv"
    run([base_python(), "-m", "venv", str(venv)], timeout=300)
    python = venv / "bin" / "python"
    run([str(python), "-m", "pip", "install", "--no-deps", "--no-index", "--disable-pip-version-check", str(wheel)], timeout=300)
    site = pathlib.Path(run([str(python), "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"], timeout=300).stdout.strip())
    return python, venv / "bin", site


def test_metadata(wheel):
    with zipfile.ZipFile(wheel) as zf:
        (name,) = [n for n in zf.namelist() if n.endswith(".dist-info/METADATA")]
        meta = email.parser.Parser().parsestr(zf.read(name).decode("utf-8"))
        (entry_points,) = [n for n in zf.namelist() if n.endswith(".dist-info/entry_points.txt")]
        scripts = zf.read(entry_points).decode("utf-8")
    assert meta["Name"] == PROJECT["name"]
    assert meta["Version"] == PROJECT["version"]
    assert meta["Summary"] == PROJECT["description"]
    assert PROJECT["license"]["text"] in (meta.get("License-Expression") or meta.get("License") or "")
    specifiers = lambda text: set(text.replace(" ", "").split(","))
    assert specifiers(meta["Requires-Python"]) == specifiers(PROJECT["requires-python"])
    assert meta.get_all("Classifier") == PROJECT["classifiers"]
    assert "velmora = velmora_cli.__main__:main" in scripts


def test_contents(wheel):
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
    assert EXTENSION in names
    assert "velmora.pyi" in names
    assert {"velmora_cli/__init__.py", "velmora_cli/__main__.py"} <= set(names)
    # Nothing test-only, and nothing else from the checkout beside the module, stub, CLI and metadata.
    assert not [n for n in names if "_velmora_test" in n]
    stray = [n for n in names if not (n in (EXTENSION, "velmora.pyi") or n.startswith(("velmora_cli/", "velmora-")))]
    assert stray == []


def test_installed_module_and_converter(installed, tmp_path):
    python, bin_dir, site = installed
    code = "import json, sys, velmora; print(velmora.__file__); print(json.dumps(velmora.parse(sys.argv[1])))"
    out = run([str(python), "-c", code, DOCUMENT], timeout=300, cwd=tmp_path).stdout.splitlines()
    assert pathlib.Path(out[0]).parent == site  # the installed copy, not the checkout's build
    assert json.loads(out[1]) == velmora.parse(DOCUMENT)

    doc = tmp_path / "doc.xml"
    doc.write_text(DOCUMENT, encoding="utf-8")
    proc = run([str(bin_dir / "velmora"), str(doc)], timeout=300, cwd=tmp_path)
    assert json.loads(proc.stdout) == velmora.parse(DOCUMENT)
    bad = subprocess.run([str(bin_dir / "velmora"), "-"], input="<a>", capture_output=True, text=True, env=clean_env(), timeout=300)
    assert bad.returncode == 1 and "velmora: " in bad.stderr and "Traceback" not in bad.stderr


# Names that only the test extension and the C++ tests may contain: hooks into the layers, the
# reference conversion and the reader's read-to-end operations, which the shipped walk never calls.
TEST_ONLY_SYMBOLS = [
    "testing::",
    "set_write_function",
    "set_gil_count",
    "owned_count",
    "pending_decrefs()",
    "owned_text",
    "PyErr::cause",
    "Reader::read_to_end",
    "Reader::read_text",
    "reference_parse",
    "PyInit__velmora_test",
]


def test_installed_module_holds_no_test_code(installed):
    python, bin_dir, site = installed
    library = site / EXTENSION
    every = run(["nm", "-C", "--defined-only", str(library)], timeout=60).stdout
    dynamic = run(["nm", "-D", "--defined-only", "--format=just-symbols", str(library)], timeout=60).stdout.split()
    assert dynamic == ["PyInit_velmora"]
    found = {name: [line for line in every.splitlines() if name in line] for name in TEST_ONLY_SYMBOLS}
    assert {name: lines for name, lines in found.items() if lines} == {}


def test_uninstall_leaves_nothing(installed):
    # Runs after the converter test (file order); it empties the shared environment.
    python, bin_dir, site = installed
    before = {p.name for p in site.iterdir()}
    assert EXTENSION in before and "velmora_cli" in before
    run([str(python), "-m", "pip", "uninstall", "-y", "--disable-pip-version-check", "velmora"], timeout=120)
    left = [p.name for p in site.iterdir() if p.name.lower().startswith("velmora")]
    assert left == []
    assert not (bin_dir / "velmora").exists()


def test_stub_matches_the_built_module(tmp_path):
    pytest.importorskip("mypy.stubtest")
    env = dict(clean_env(), PYTHONPATH=os.path.dirname(velmora.__file__), MYPYPATH=str(ROOT / "src" / "module"))
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "velmora", "--mypy-config-file", os.devnull],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
