"""Errors the package raises."""


class HalvexError(Exception):
    """A library call failed. `code` is the Windows error code it returned, `name` and `text`
    the library's name and meaning of it, `call` the function that failed."""

    def __init__(self, code, call, detail=None):
        from ._library import library

        self.code = int(code)
        self.call = call
        self.name = library().HX_ErrorName(self.code).decode()
        self.text = library().HX_ErrorText(self.code).decode()
        message = f"{call} failed: {self.code} ({self.name}): {self.text}"
        if detail:
            message += f" [{detail}]"
        super().__init__(message)


class HalvexWarning(UserWarning):
    """Something went wrong that did not stop the work: samples lost to an overrun."""


def check(code, call, detail=None):
    """Raises HalvexError unless code is 0."""
    if code != 0:
        raise HalvexError(code, call, detail)
