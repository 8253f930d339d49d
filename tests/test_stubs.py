"""The shipped type stubs match the built module (regenerate them with scripts/update_stubs.sh)."""

import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
STUBS = ROOT / "python" / "_vantel-stubs"


def test_stubs_are_what_the_module_generates(tmp_path):
    """Every name, argument, default and docstring: a binding change without new stubs fails here."""
    generator = pathlib.Path(sys.executable).with_name("pybind11-stubgen")
    subprocess.run([str(generator), "_vantel", "--exit-code", "-o", str(tmp_path)], check=True, capture_output=True,
                   timeout=300)
    generated = {p.name: p.read_text() for p in (tmp_path / "_vantel").glob("*.pyi")}
    shipped = {p.name: p.read_text() for p in STUBS.glob("*.pyi")}
    assert sorted(generated) == sorted(shipped) == ["__init__.pyi", "diagnostics.pyi", "io.pyi", "tf.pyi"]
    for name in generated:
        assert generated[name] == shipped[name], f"{name} is stale: run scripts/update_stubs.sh"


def test_type_checkers_accept_the_stubs():
    """mypy's own comparison of the installed stubs with the module (the names and their kinds)."""
    completed = subprocess.run([sys.executable, "-m", "mypy.stubtest", "_vantel", "--allowlist",
                                str(ROOT / "tests" / "stubtest_allowlist.txt")],
                               capture_output=True, text=True, cwd=ROOT / "tests", timeout=300)
    assert completed.returncode == 0, completed.stdout + completed.stderr
