"""Access control lists and the one rule that reads them.

An ACL is any object with a `content` attribute holding grant texts. None as
the ACL means a trusted internal caller and allows everything. A grant is one
of: "*" (everything), "<collection>.*" (everything on one collection),
"<collection>.read", "<collection>.write", "<collection>.action.<name>" or
"<collection>.action.*" (every action of the collection).
"""

from .errors import AuthorizationError


class Acl:
    """The engine's ACL: `content` is the collection of grant texts."""

    def __init__(self, content=None):
        self.content = list(grants_of(content))

    def allows(self, collection, act):
        return allows(self, collection, act)

    def __repr__(self):
        return f"Acl(content={self.content!r})"


def grants_of(content):
    """The grants of a content value; a lone text is one grant, not its letters."""
    if content is None:
        return ()
    if isinstance(content, str):
        return (content,)
    return content


def allows(acl, collection, act):
    """True when `acl` grants `act` ("read", "write", "action.<name>") on `collection`."""
    if acl is None:
        return True
    grants = grants_of(getattr(acl, "content", None))
    wanted = {"*", f"{collection}.*", f"{collection}.{act}"}
    if act.startswith("action."):
        wanted.add(f"{collection}.action.*")
    return any(isinstance(g, str) and g in wanted for g in grants)


def require(acl, collection, act):
    """Raise AuthorizationError unless `acl` grants `act` on `collection`."""
    if not allows(acl, collection, act):
        raise AuthorizationError(
            f"Access denied: {act} on {collection} needs the grant {collection}.{act}")
