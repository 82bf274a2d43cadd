"""Loading qen_api.rest against a chosen engine module."""

import importlib
import sys


def import_rest_with(engine_module):
    """A fresh qen_api.rest module initialised against `engine_module`.

    The module is multi-phase, so a new import builds a new module object;
    sys.modules and the package attribute are restored afterwards.
    """
    import qen_api

    saved = {name: sys.modules.get(name) for name in ("qen_engine", "qen_api.rest")}
    saved_attr = qen_api.__dict__.get("rest")
    sys.modules["qen_engine"] = engine_module
    sys.modules.pop("qen_api.rest", None)
    try:
        return importlib.import_module("qen_api.rest")
    finally:
        for name, module in saved.items():
            if module is None:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = module
        if saved_attr is None:
            qen_api.__dict__.pop("rest", None)
        else:
            qen_api.rest = saved_attr
