"""The engine's error family: every refusal carries the HTTP status it stands for."""


class QenError(Exception):
    """Base of all engine errors; built with one message text."""

    status_code = 500

    def __init__(self, message="", status_code=None):
        super().__init__(message)
        if status_code is not None:
            self.status_code = status_code

    @property
    def message(self):
        return self.args[0] if self.args else ""


class BadRequestError(QenError):
    status_code = 400


class AuthorizationError(QenError):
    status_code = 403


class NotFoundError(QenError):
    status_code = 404


class ConflictError(QenError):
    status_code = 409
