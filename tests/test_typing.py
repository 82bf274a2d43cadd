"""The installed stubs: shipped, right for a strict type checker, and true to the runtime."""

import subprocess
import sys
import tarfile
import textwrap
import zipfile
from importlib import resources
from pathlib import Path

import pytest

pytest.importorskip("mypy")

# qen_engine has no type information of its own; its names count as Any here.
MYPY_INI = """\
[mypy]
strict = True

[mypy-qen_engine.*]
ignore_missing_imports = True
"""

GOOD_SAMPLE = """\
from typing import Any

from qen_api.permgate import Permgate
from qen_api.rest import RestApi
from qen_engine import Acl
from qen_engine.samples import Order


def search(acl: Acl) -> list[Any]:
    body, status = RestApi.collection_get(Order, {"status": "new"}, acl=acl, limit=5,
                                          catalog='["number"]')
    return body if status == 200 else []


def patch(acl: Acl) -> int:
    _, status = RestApi.document_patch(Order, {"status": "shipped"}, None, "_id/1", acl=acl)
    return status


def act(acl: Acl) -> str:
    answer = RestApi.action_post(Order, {}, "", "export", acl=acl)
    return answer[1].__name__ if len(answer) == 3 else str(answer[0])


def lookup(key: str) -> Acl | None:
    gate = Permgate(api_root="http://127.0.0.1:1/api/")
    body, status = gate.get_api_acl(key, api_id="a1")
    return Acl(content=body["acl"]) if status == 200 else None
"""

# (call, what mypy must say about it)
BAD_CALLS = [
    ('RestApi.document_patch(Order, {"status": "x"}, doc_path="_id/1")',
     'Missing positional argument "catalog"'),
    ('RestApi.collection_get(Order, limit="5")', 'Argument "limit"'),
    ('RestApi.document_get(Order, doc_path=7)', 'Argument "doc_path"'),
    ('RestApi.document_fetch(Order, "_id/1")', 'has no attribute "document_fetch"'),
    ('RestApi.collection_delete(Order, drop=True, purge=True)', 'Unexpected keyword argument "purge"'),
    ('Permgate(api_root=5)', 'Argument "api_root"'),
    ('Permgate().get_api_acl()', 'Missing positional argument "api_key"'),
]


@pytest.fixture
def checker(tmp_path):
    """Runs a tool of mypy in an empty directory, so only the installed package is seen."""
    (tmp_path / "mypy.ini").write_text(MYPY_INI)

    def run(*args):
        done = subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, capture_output=True,
                              text=True, timeout=300)
        return done.returncode, done.stdout + done.stderr

    return run


def test_stubs_and_marker_are_installed():
    package = resources.files("qen_api")
    assert all((package / name).is_file() for name in ("rest.pyi", "permgate.pyi", "py.typed"))


def test_usage_sample_passes_strict(checker, tmp_path):
    (tmp_path / "sample.py").write_text(GOOD_SAMPLE)
    code, output = checker("mypy", "--config-file", "mypy.ini", "sample.py")
    assert code == 0, output


def test_wrong_calls_are_reported(checker, tmp_path):
    header = ("from qen_api.permgate import Permgate\nfrom qen_api.rest import RestApi\n"
              "from qen_engine.samples import Order\n")
    body = "\n".join(call for call, _ in BAD_CALLS)
    (tmp_path / "bad.py").write_text(header + body + "\n")
    code, output = checker("mypy", "--config-file", "mypy.ini", "bad.py")
    assert code == 1
    first = header.count("\n") + 1
    for line, (call, complaint) in enumerate(BAD_CALLS, start=first):
        assert any(f"bad.py:{line}:" in row and complaint in row for row in output.splitlines()), \
            f"{call}: no '{complaint}' in\n{output}"


def test_stubs_match_the_runtime(checker, tmp_path):
    # The wrappers are native function objects, which stubtest does not count as functions.
    (tmp_path / "allow.txt").write_text(textwrap.dedent("""\
        qen_api.rest.error_handle
        qen_api.rest.auth_required
    """))
    code, output = checker("mypy.stubtest", "--mypy-config-file", "mypy.ini",
                           "--allowlist", "allow.txt", "qen_api.rest", "qen_api.permgate")
    assert code == 0, output


def test_sdist_and_wheel_build_with_the_stubs(tmp_path):
    pytest.importorskip("build")
    root = Path(__file__).resolve().parents[1]
    done = subprocess.run([sys.executable, "-m", "build", "--outdir", str(tmp_path), str(root)],
                          capture_output=True, text=True, timeout=900)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    [sdist], [wheel] = tmp_path.glob("*.tar.gz"), tmp_path.glob("*.whl")
    with tarfile.open(sdist) as archive:
        assert any(name.endswith("src/native/rest/module.cpp") for name in archive.getnames())
    with zipfile.ZipFile(wheel) as archive:
        files = {name for name in archive.namelist() if not name.startswith("qen_api-")}
    shipped = {name.split(".")[0] for name in files}
    assert shipped == {"qen_api/__init__", "qen_api/message", "qen_api/rest", "qen_api/permgate",
                       "qen_api/py"}
    assert {"qen_api/rest.pyi", "qen_api/permgate.pyi", "qen_api/py.typed"} <= files
    assert sum(name.endswith(".so") for name in files) == 2
