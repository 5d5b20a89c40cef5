"""The type stubs: consistent with the built module, usable under mypy --strict.

mypy and stubtest run as subprocesses against the working tree's stubs
(MYPYPATH), so a stale installed copy does not hide a fault.
"""
import ast
import importlib.metadata
import importlib.util
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest
import serial

import zq4180

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB_DIR = ROOT / "python"
STUB = STUB_DIR / "zq4180.pyi"
STUB_PACKAGE = "zq4180-stubs"
USAGE = pathlib.Path(__file__).with_name("usage.py")
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))


def _missing_tools():
    if importlib.util.find_spec("mypy") is None:
        return "mypy is not installed (it comes with the 'test' extra)"
    try:
        importlib.metadata.distribution("types-pyserial")
    except importlib.metadata.PackageNotFoundError:
        return "types-pyserial is not installed (it comes with the 'test' extra)"
    return None


MISSING = _missing_tools()
needs_mypy = pytest.mark.skipif(MISSING is not None, reason=str(MISSING))


@pytest.fixture(scope="session")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def _run(args, cwd, **env):
    environ = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    environ.update(env)
    # cwd outside the repository: no stray config or cache is picked up there.
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=environ,
                          capture_output=True, text=True, timeout=300)


def _mypy(paths, cache, cwd, **env):
    return _run(["mypy", "--strict", "--follow-imports=silent", "--show-error-codes",
                 "--no-error-summary", "--cache-dir", str(cache), *map(str, paths)], cwd, **env)


def _errors_by_file(output):
    found = {}
    for line in output.splitlines():
        hit = re.match(r"(.+?):(\d+): error: .*\[([a-z-]+)\]$", line)
        if hit:
            found.setdefault(pathlib.Path(hit[1]).name, []).append((int(hit[2]), hit[3]))
    return found


def test_the_installed_distribution_ships_both_stub_copies():
    # mypy reads the stub package, editors the file beside the extension.
    shipped = {str(f): f for f in importlib.metadata.files("zq4180")}
    for name in ("zq4180.pyi", f"{STUB_PACKAGE}/__init__.pyi"):
        assert shipped[name].locate().read_bytes() == STUB.read_bytes(), name
    # Not a partial stub package: a py.typed there would only send mypy looking elsewhere.
    assert f"{STUB_PACKAGE}/py.typed" not in shipped


@needs_mypy
def test_stubtest_finds_the_stub_consistent_with_the_built_module(tmp_path):
    done = _run(["mypy.stubtest", "zq4180"], tmp_path, MYPYPATH=str(STUB_DIR))
    assert done.returncode == 0, done.stdout + done.stderr


@needs_mypy
def test_examples_and_typed_usage_pass_mypy_strict(tmp_path, mypy_cache):
    assert EXAMPLES, "no examples to check"
    done = _mypy([USAGE, *EXAMPLES], mypy_cache, tmp_path, MYPYPATH=str(STUB_DIR))
    assert done.returncode == 0, done.stdout + done.stderr


# Each snippet must draw exactly one error, on its last line, with this code.
MISUSES = [
    ("address_as_text", 'drv.set_new_addr("6")', "arg-type"),
    ("output_mode_as_bool", "drv.set_ouput_mode(True)", "arg-type"),
    ("work_mode_as_number", "drv.set_work_mode(1)", "arg-type"),
    ("voltage_as_text", 'drv.set_out_voltage("5")', "arg-type"),
    ("no_port", "zq4180.ZQ4180()", "call-arg"),
    ("open_with_argument", "drv.open(1)", "call-arg"),
    ("misspelt_keyword", "drv.set_new_addr(adress=6)", "call-arg"),
    ("status_unchecked_for_none", 'drv.read_dev_status()["voltage_set"]', "index"),
    ("status_keys_are_text", 's = drv.read_dev_status()\nassert s\ns[3]', "index"),
    ("close_returns_nothing", "assert drv.close()", "func-returns-value"),
    ("constant_reassigned", "zq4180.ZQ4180._ZQ4180__CMD_LENGTH = 27", "misc"),
]
HEADER = 'import zq4180\ndrv = zq4180.ZQ4180("/dev/ttyUSB0")\n'


@pytest.fixture(scope="module")
def misuse_errors(tmp_path_factory, mypy_cache):
    where = tmp_path_factory.mktemp("misuse")
    paths = []
    for name, snippet, _ in MISUSES:
        path = where / f"misuse_{name}.py"
        path.write_text(HEADER + snippet + "\n")
        paths.append(path)
    done = _mypy(paths, mypy_cache, where, MYPYPATH=str(STUB_DIR))
    assert "error:" in done.stdout, done.stdout + done.stderr
    return _errors_by_file(done.stdout)


@needs_mypy
@pytest.mark.parametrize("name, snippet, code", MISUSES, ids=[m[0] for m in MISUSES])
def test_mypy_refuses_misuse(misuse_errors, name, snippet, code):
    last_line = (HEADER + snippet).count("\n") + 1
    assert misuse_errors.get(f"misuse_{name}.py") == [(last_line, code)]


@needs_mypy
def test_mypy_finds_the_installed_stub_package(tmp_path, mypy_cache):
    # Laid out as the wheel lays it out in site-packages; no MYPYPATH.
    site = tmp_path / "site"
    (site / STUB_PACKAGE).mkdir(parents=True)
    shutil.copyfile(STUB, site / STUB_PACKAGE / "__init__.pyi")
    script = tmp_path / "script.py"
    script.write_text("import zq4180\nreveal_type(zq4180.ZQ4180('COM3').read_dev_status())\n")
    done = _mypy([script], mypy_cache, tmp_path, PYTHONPATH=str(site))
    assert done.returncode == 0, done.stdout + done.stderr
    assert 'Revealed type is "dict[str, Any] | None"' in done.stdout


# -- what stubtest cannot see: instance attributes and the read-out dicts ----

def _stub_classes():
    tree = ast.parse(STUB.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def _declared(cls):
    """Annotated names without a value: instance attributes, TypedDict keys."""
    return {stmt.target.id: stmt.annotation for stmt in cls.body
            if isinstance(stmt, ast.AnnAssign) and stmt.value is None
            and not ast.unparse(stmt.annotation).startswith("Final")}


def _conforms(value, annotation):
    if isinstance(annotation, ast.BinOp) and isinstance(annotation.op, ast.BitOr):
        return _conforms(value, annotation.left) or _conforms(value, annotation.right)
    text = ast.unparse(annotation)
    exact = {"str": str, "int": int, "float": float, "bool": bool}
    if text in exact:
        return type(value) is exact[text]
    if text == "serial.SerialBase":
        return isinstance(value, serial.SerialBase)
    if isinstance(annotation, ast.Subscript) and ast.unparse(annotation.value) == "Literal":
        choices = annotation.slice.elts if isinstance(annotation.slice, ast.Tuple) \
            else [annotation.slice]
        return value in [choice.value for choice in choices]
    raise AssertionError(f"teach _conforms about {text}")


def _check(runtime, declared):
    assert set(runtime) == set(declared)
    wrong = {key: value for key, value in runtime.items() if not _conforms(value, declared[key])}
    assert not wrong, f"values outside their stub types: {wrong}"


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the virtual supply needs a pty")
def test_stub_types_match_what_the_driver_returns():
    from zq4180_sim import VirtualSupply

    classes = _stub_classes()
    with VirtualSupply(3, pacing=False, load_ohms=10) as supply:
        drv = zq4180.ZQ4180(supply.port)
        assert drv.open()
        try:
            _check(vars(drv), _declared(classes["ZQ4180"]))
        finally:
            drv.close()
