"""Request data -> RestApi arguments: query parameters and JSON bodies."""

import json

TRUE_WORDS = frozenset({"1", "true", "yes"})
FALSE_WORDS = frozenset({"0", "false", "no"})


class RequestError(Exception):
    """A request refused by the web layer itself; answered with `status` and a JSON body."""

    def __init__(self, message, status=400, kind="BadRequest"):
        super().__init__(message)
        self.status = status
        self.kind = kind

    def body(self):
        return {"type": self.kind, "message": str(self)}


def allow_only(args, allowed):
    """Refuse query parameters the route does not take, so a typo is not silently ignored."""
    unknown = sorted(set(args) - set(allowed))
    if unknown:
        takes = ", ".join(sorted(allowed)) or "none"
        raise RequestError(f"Unknown query parameter {unknown[0]} (this route takes: {takes})")


def flag(args, name, default):
    """A boolean parameter: 1/true/yes or 0/false/no, any case; absent gives `default`."""
    text = args.get(name)
    if text is None:
        return default
    word = text.strip().lower()
    if word in TRUE_WORDS:
        return True
    if word in FALSE_WORDS:
        return False
    raise RequestError(f"Query parameter {name} takes 1/true/yes or 0/false/no, got {text}")


def whole_number(args, name):
    text = args.get(name)
    if text is None:
        return None
    try:
        return int(text)
    except ValueError:
        raise RequestError(f"Query parameter {name} must be a whole number, got {text}") from None


def json_param(args, name):
    """A parameter carrying JSON text (the search payload `q`), decoded; None when absent."""
    text = args.get(name)
    return None if text is None else _decode(text, f"Query parameter {name}")


def json_body(request):
    """The request body decoded as JSON whatever its Content-Type; None when empty."""
    data = request.get_data()
    return None if not data.strip() else _decode(data, "Request body")


def _decode(text, where):
    try:
        return json.loads(text)
    except ValueError as error:      # JSONDecodeError and UnicodeDecodeError alike
        raise RequestError(f"{where} is not valid JSON: {error}") from None
