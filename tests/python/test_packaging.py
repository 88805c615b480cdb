"""The wheel and the sdist as a user gets them: built from a read-only copy of the checkout,
repaired to a manylinux tag, small, with metadata for an index page, installed into a fresh
virtual environment where the module, the companion package, the command line, the backtrace's
file and line, the pickled failure and the type checkers all work, and uninstalled cleanly.

Slow (each build compiles the whole project and fetches the build backend, the type checkers
from the package index): select with `-m packaging`, leave out with `-m "not packaging"`.
"""
import email.parser
import json
import os
import pathlib
import re
import shutil
import stat
import subprocess
import sys
import sysconfig
import tarfile
import tomllib
import zipfile

import pytest

import velmora

pytestmark = pytest.mark.packaging

ROOT = pathlib.Path(__file__).resolve().parents[2]
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
EXTENSION = "velmora" + sysconfig.get_config_var("EXT_SUFFIX")  # velmora.cpython-312-x86_64-linux-gnu.so
DOCUMENT = '<feed a="1"><e>caf\u00e9</e><e>2</e><empty/></feed>'
PACKAGES = ("velmora_tools/", "velmora-stubs/", "pyo3_runtime/")
MAX_WHEEL_BYTES = 1_000_000


def clean_env(**extra):
    """The environment without anything that would let a test see the checkout's build."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "MYPYPATH")}
    env.update(extra)
    return env


def run(cmd, timeout, check=True, env=None, **kw):
    proc = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, timeout=timeout,
                          env=env or clean_env(), **kw)
    if check:
        assert proc.returncode == 0, f"{cmd} failed:\n{proc.stdout[-3000:]}\n{proc.stderr[-3000:]}"
    return proc


def base_python():
    """The interpreter the running venv was made from (a venv inside a venv would share its packages)."""
    candidate = getattr(sys, "_base_executable", None)
    if candidate and os.path.exists(candidate):
        return candidate
    return os.path.join(sys.base_prefix, "bin", f"python{sys.version_info.major}.{sys.version_info.minor}")


def tool(name):
    """A console script of the running environment (auditwheel, pyright)."""
    path = pathlib.Path(sys.executable).parent / name
    if not path.exists():
        pytest.skip(f"{name} is not installed in this environment")
    return path


def snapshot(tree):
    return sorted((str(p.relative_to(tree)), p.stat().st_mtime_ns) for p in tree.rglob("*"))


@pytest.fixture(scope="module")
def checkout(tmp_path_factory):
    """The committed and staged files of the project, copied and made read-only."""
    listed = run(["git", "-C", ROOT, "ls-files", "-z", "--cached", "--others", "--exclude-standard"], timeout=60).stdout
    copy = tmp_path_factory.mktemp("checkout") / "velmora"
    for name in filter(None, listed.split("\0")):
        source = ROOT / name
        if source.is_file():
            (copy / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, copy / name)
    for path in copy.rglob("*"):
        path.chmod(path.stat().st_mode & ~(stat.S_IWUSR | stat.S_IWGRP | stat.S_IWOTH))
    return copy


@pytest.fixture(scope="module")
def wheel(checkout, tmp_path_factory):
    """Built from the read-only copy (which must stay untouched), then repaired by auditwheel."""
    before = snapshot(checkout)
    raw = tmp_path_factory.mktemp("raw-wheel")
    run([sys.executable, "-m", "pip", "wheel", checkout, "--no-deps", "-w", raw, "--disable-pip-version-check"],
        timeout=1500)
    assert snapshot(checkout) == before, "the build wrote into the source tree"
    (built,) = raw.glob("velmora-*.whl")
    out = tmp_path_factory.mktemp("wheelhouse")
    path_env = clean_env(PATH=f"{pathlib.Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}")
    run([tool("auditwheel"), "repair", built, "-w", out], timeout=600, env=path_env)
    (path,) = out.glob("velmora-*.whl")
    return path


def wheel_names(wheel):
    with zipfile.ZipFile(wheel) as zf:
        return zf.namelist()


def wheel_text(wheel, suffix):
    with zipfile.ZipFile(wheel) as zf:
        (name,) = [n for n in zf.namelist() if n.endswith(suffix)]
        return zf.read(name).decode("utf-8")


@pytest.fixture(scope="module")
def installed(wheel, tmp_path_factory):
    """A fresh virtual environment with the wheel installed; yields (python, bin dir, site-packages)."""
    venv = tmp_path_factory.mktemp("fresh") / "venv"
    run([base_python(), "-m", "venv", venv], timeout=300)
    python = venv / "bin" / "python"
    run([python, "-m", "pip", "install", "--no-deps", "--no-index", "--disable-pip-version-check", wheel], timeout=300)
    site = pathlib.Path(run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"], timeout=300).stdout.strip())
    return python, venv / "bin", site


def test_metadata_is_ready_for_an_index(wheel):
    meta = email.parser.Parser().parsestr(wheel_text(wheel, ".dist-info/METADATA"))
    assert meta["Name"] == PROJECT["name"]
    assert meta["Version"] == PROJECT["version"]
    assert meta["Summary"] == PROJECT["description"]
    assert meta["License-Expression"] == "MIT"
    assert meta.get_all("License-File") == ["LICENSE"]
    assert meta["Requires-Python"] == ">=3.12"
    classifiers = meta.get_all("Classifier")
    assert classifiers == PROJECT["classifiers"]
    assert {"Typing :: Typed", "Programming Language :: Python :: 3.12",
            "Programming Language :: Python :: 3.13"} <= set(classifiers)
    assert meta["Description-Content-Type"] == "text/markdown"
    page = meta.get_payload()
    assert "velmora.parse(" in page and "pip install velmora" in page
    # An index page has no checkout around it: no relative links, no images.
    assert not re.findall(r"\]\((?!https?://)[^)]*\)", page) and "![" not in page
    scripts = wheel_text(wheel, ".dist-info/entry_points.txt")
    assert re.search(r"^velmora = velmora_tools\.", scripts, re.M)


def test_version_is_written_once():
    hits = [p for p in ("CMakeLists.txt", "python/velmora_tools/__init__.py", "python/velmora_tools/version.py")
            if (ROOT / p).exists() and PROJECT["version"] in (ROOT / p).read_text(encoding="utf-8")]
    assert hits == []


def test_contents_and_tag(wheel):
    names = wheel_names(wheel)
    tag = wheel.name.rsplit("-", 1)[-1]
    assert re.fullmatch(r"manylinux_2_\d+_x86_64\.whl", tag), wheel.name
    assert EXTENSION in names
    assert {"velmora-stubs/__init__.pyi", "pyo3_runtime/__init__.py", "pyo3_runtime/__init__.pyi",
            "pyo3_runtime/py.typed", "velmora_tools/__init__.py", "velmora_tools/py.typed"} <= set(names)
    assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names)
    # Nothing test-only, and nothing else from the checkout.
    assert not [n for n in names if "_velmora_test" in n or "/tests/" in n]
    stray = [n for n in names if not (n == EXTENSION or n.startswith(PACKAGES) or n.startswith("velmora-0"))]
    assert stray == []


def test_wheel_is_small_and_auditwheel_finds_it_clean(wheel):
    assert wheel.stat().st_size <= MAX_WHEEL_BYTES
    shown = run([tool("auditwheel"), "show", wheel], timeout=300).stdout
    tag = re.search(r"manylinux_2_\d+_x86_64", wheel.name).group(0)
    assert re.search(rf'is consistent with\s+the following platform tag:\s+"{tag}"', shown), shown
    assert "external shared libraries" not in shown  # nothing outside the policy's system libraries


def test_installed_module_tools_and_command(installed, tmp_path):
    python, bin_dir, site = installed
    code = "import json, sys, velmora; print(velmora.__file__); print(json.dumps(velmora.parse(sys.argv[1])))"
    out = run([python, "-c", code, DOCUMENT], timeout=300, cwd=tmp_path).stdout.splitlines()
    assert pathlib.Path(out[0]).parent == site  # the installed copy, not the checkout's build
    assert json.loads(out[1]) == velmora.parse(DOCUMENT)

    doc = tmp_path / "doc.xml"
    doc.write_bytes(DOCUMENT.encode("utf-16"))
    for command in ([bin_dir / "velmora", doc], [python, "-m", "velmora_tools", doc]):
        assert json.loads(run(command, timeout=300, cwd=tmp_path).stdout) == velmora.parse(DOCUMENT)
    bad = subprocess.run([bin_dir / "velmora", "-"], input="<a>", capture_output=True, text=True,
                         env=clean_env(), timeout=300)
    assert bad.returncode == 1 and bad.stderr.count("\n") == 1 and "Traceback" not in bad.stderr


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


def test_installed_backtrace_names_file_and_line(installed, tmp_path):
    python, _, _ = installed
    proc = run([python, "-c", "import velmora; velmora.parse('<a></b>')"], timeout=300, check=False,
               cwd=tmp_path, env=clean_env(VELMORA_BACKTRACE="1"))
    assert proc.returncode == 1
    assert re.search(r"^\s+at src/\S+\.(cpp|h):\d+$", proc.stderr, re.M), proc.stderr


def test_installed_failure_pickles_into_a_fresh_process(installed, tmp_path):
    python, _, _ = installed
    dumped = run([python, "-c", "import pickle, velmora, os\nos.dup2(os.open(os.devnull, os.O_WRONLY), 2)\n"
                  "try:\n    velmora.parse('<a>')\nexcept BaseException as e:\n    print(pickle.dumps(e).hex())"],
                 timeout=300, cwd=tmp_path).stdout.strip()
    loaded = run([python, "-c", f"import pickle; e = pickle.loads(bytes.fromhex('{dumped}')); "
                  "print(type(e).__module__, type(e).__name__, e.args[0])"], timeout=300, cwd=tmp_path).stdout
    assert loaded.strip() == 'pyo3_runtime PanicException called `Result::unwrap()` on an `Err` value: UnexpectedEof("</\\"a\\">")'


@pytest.fixture(scope="module")
def checkers(installed):
    """The installed environment with mypy and pyright added from the package index."""
    python, bin_dir, _ = installed
    run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", "mypy", "pyright"], timeout=900)
    return python, bin_dir


USE = """\
import velmora
from pyo3_runtime import PanicException

reveal_type(velmora.parse)
tree = velmora.parse("<a/>")
reveal_type(tree)
reveal_type(PanicException)
velmora.parse(b"<a/>")
"""


def test_mypy_sees_the_types_with_no_configuration(checkers, tmp_path):
    python, _ = checkers
    (tmp_path / "use.py").write_text(USE, encoding="utf-8")
    proc = run([python, "-m", "mypy", "--no-incremental", "--config-file", os.devnull, "use.py"],
               timeout=600, check=False, cwd=tmp_path)
    out = proc.stdout.replace("builtins.", "")  # older releases print qualified names
    assert 'Revealed type is "def (xml: str) -> dict[str, Any]"' in out, out
    assert 'Revealed type is "dict[str, Any]"' in out, out
    assert 'Revealed type is "def (*args: object) -> pyo3_runtime.PanicException"' in out, out
    assert re.search(r'use\.py:8: error: Argument 1 to "parse" has incompatible type "bytes"; expected "str"', out), out
    assert "Cannot find implementation or library stub" not in out
    assert proc.returncode == 1 and "Found 1 error" in out


def test_stubtest_passes_without_a_module_path(checkers, tmp_path):
    python, _ = checkers
    proc = run([python, "-m", "mypy.stubtest", "velmora", "--mypy-config-file", os.devnull],
               timeout=600, check=False, cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_pyright_sees_the_types_and_finds_them_complete(checkers, tmp_path):
    _, bin_dir = checkers
    (tmp_path / "use.py").write_text(USE, encoding="utf-8")
    # pyright finds the environment it is asked to check the way a user's shell tells it.
    env = clean_env(VIRTUAL_ENV=str(bin_dir.parent), PATH=f"{bin_dir}{os.pathsep}{os.environ.get('PATH', '')}")
    proc = run([bin_dir / "pyright", "use.py"], timeout=600, check=False, cwd=tmp_path, env=env)
    out = proc.stdout
    assert 'Type of "velmora.parse" is "(xml: str) -> dict[str, Any]"' in out, out
    assert 'Type of "tree" is "dict[str, Any]"' in out, out
    assert 'Type of "PanicException" is "type[PanicException]"' in out, out
    assert re.search(r'"Literal\[b"<a/>"\]" is not assignable to "str"|"bytes" is not assignable to "str"', out), out
    assert "1 error" in out
    # --verifytypes judges inline types of packages only: a single-module extension has nowhere
    # to put py.typed and its stub package does not count. The wheel's packages must be complete.
    for package in ("velmora_tools", "pyo3_runtime"):
        verify = run([bin_dir / "pyright", "--verifytypes", package], timeout=600, check=False,
                     cwd=tmp_path, env=env)
        assert "Type completeness score: 100%" in verify.stdout, verify.stdout
        assert verify.returncode == 0, verify.stdout


def test_uninstall_leaves_nothing(installed):
    # Runs after the tests above (file order); it empties the shared environment.
    python, bin_dir, site = installed
    before = {p.name for p in site.iterdir()}
    assert {EXTENSION, "velmora_tools", "velmora-stubs", "pyo3_runtime"} <= before
    run([python, "-m", "pip", "uninstall", "-y", "--disable-pip-version-check", "velmora"], timeout=120)
    left = [p.name for p in site.iterdir() if p.name.lower().startswith(("velmora", "pyo3_runtime"))]
    assert left == []
    assert not (bin_dir / "velmora").exists()


def test_sdist_builds_and_installs(checkout, tmp_path):
    pytest.importorskip("build")
    out = tmp_path / "dist"
    run([sys.executable, "-m", "build", "--sdist", "--outdir", out, checkout], timeout=900)
    (sdist,) = out.glob("velmora-*.tar.gz")
    with tarfile.open(sdist) as tf:
        names = {n.split("/", 1)[1] for n in tf.getnames() if "/" in n}
    assert {"pyproject.toml", "CMakeLists.txt", "LICENSE", "src/convert/walk.cpp",
            "python/velmora-stubs/__init__.pyi"} <= names
    assert not [n for n in names if n.startswith((".venv", "build/", ".git/"))]
    venv = tmp_path / "venv"
    run([base_python(), "-m", "venv", venv], timeout=300)
    python = venv / "bin" / "python"
    run([python, "-m", "pip", "install", "--disable-pip-version-check", sdist], timeout=1500)
    out = run([python, "-c", "import json, sys, velmora; print(json.dumps(velmora.parse(sys.argv[1])))", DOCUMENT],
              timeout=300, cwd=tmp_path).stdout
    assert json.loads(out) == velmora.parse(DOCUMENT)
