"""qen_engine: a small in-memory document engine.

Documents are instances of `Document` subclasses, stored per collection in the
class's engine (`_engine`); embedded documents are `Base` subclasses. Fields
are declared with `Field`, `Embedded`, `ListOf` and `RuntimeListOf`; methods
marked with `expose` are actions. Ids are text: field criteria and ids given
as text (as they come from URL paths) match stored values equal to them or
whose text form equals them.

Access rule. An ACL is None or an object with `content`, a collection of
grant texts:
  - acl None: unrestricted (internal, trusted callers);
  - "*": everything; "<collection>.*": everything on that collection;
  - "<collection>.read": load, objects, analyze;
  - "<collection>.write": save, update, delete, delete_all, drop (a delete
    that cascades needs write on every collection it reaches);
  - "<collection>.action.<name>" (or "<collection>.action.*"): running that
    action; check_acl(act="action.<name>") asks for it.
A refused act raises AuthorizationError. Public collection actions
(`expose(public=True)`) run without a check.

Batches. `Batch(engine=...)` collects writes made with save(batch=),
update(_batch=) and delete(batch=) for classes of that engine; `commit()`
applies them in order, all or none, and returns (True, message) or
(False, why) with nothing changed.
"""

from .acl import Acl
from .document import Base, Document, default_engine, expose
from .errors import (AuthorizationError, BadRequestError, ConflictError, NotFoundError,
                     QenError)
from .fields import Embedded, Field, ListOf, ListRuntime, RuntimeListOf
from .store import Batch, Engine

__all__ = [
    "Acl", "AuthorizationError", "BadRequestError", "Base", "Batch", "ConflictError",
    "Document", "Embedded", "Engine", "Field", "ListOf", "ListRuntime", "NotFoundError",
    "QenError", "RuntimeListOf", "default_engine", "expose",
]
