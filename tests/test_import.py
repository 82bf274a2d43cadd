"""Module initialisation: a failing step fails the import and leaves nothing."""

import subprocess
import sys
import textwrap

SCRIPT = textwrap.dedent('''
    import sys, types
    sys.path.insert(0, sys.argv[1])
    import qen_engine
    assert not hasattr(qen_engine, "ListRuntime")
    try:
        import qen_api.rest
    except ImportError as exc:
        print("error:", exc)
    print("registered:", "qen_api.rest" in sys.modules)
    # Mend the engine and import again: initialisation runs from scratch.
    class ListRuntime(list):
        pass
    qen_engine.ListRuntime = ListRuntime
    import qen_api.rest as rest
    print("second:", rest.ListRuntime is ListRuntime, rest.RestApi.__name__)
''')


def test_failing_engine_import_leaves_no_module_and_retry_succeeds(tmp_path):
    package = tmp_path / "qen_engine"
    package.mkdir()
    (package / "__init__.py").write_text(
        "class QenError(Exception):\n    status_code = 500\n"
        "class Base: pass\nclass Document(Base): pass\nclass Batch: pass\n"
        "NotFoundError = ConflictError = BadRequestError = AuthorizationError = QenError\n"
    )
    out = subprocess.run([sys.executable, "-c", SCRIPT, str(tmp_path)],
                         capture_output=True, text=True, check=True).stdout.splitlines()
    assert out[0].startswith("error: cannot import name 'ListRuntime' from 'qen_engine' (")
    assert out[1:] == ["registered: False", "second: True RestApi"]


def test_missing_engine_fails_with_the_import_error(tmp_path):
    script = ("import sys; sys.modules['qen_engine'] = None\n"
              "try:\n    import qen_api.rest\nexcept ImportError as e: print(type(e).__name__, e.name)\n"
              "print('qen_api.rest' in sys.modules)")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["ModuleNotFoundError", "qen_engine", "False"]


def test_two_modules_coexist(rest):
    import qen_api.rest as real
    assert real is not rest and real.RestApi is not rest.RestApi
