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


class HalvexDataLost(HalvexError):
    """Samples of a stream were dropped before anyone read them: the stream kept no more than its
    backlog allows. `lost` samples per channel went, starting with sample (scan) `first_lost`
    since the run started; the block read after this error has `gap == lost`. Not a library
    code: `code` is None and `call` names the stream."""

    def __init__(self, lost, first_lost, detail):
        self.code = None
        self.call = "Stream"
        self.name = "DATA_LOST"
        self.text = "samples were dropped because the stream was not read in time"
        self.lost = int(lost)
        self.first_lost = int(first_lost)
        Exception.__init__(self, detail)


class HalvexStreamEnded(HalvexError):
    """A stream cannot give what was asked: it was closed, its run ended (a block completed or a
    transfer failed), or the library session it ran in ended (halvex.sim.use_boards restarts
    the library). `reason` says which. Not a library code: `code` is None and `call` names the
    stream's method."""

    def __init__(self, call, reason, detail):
        self.code = None
        self.call = call
        self.name = "STREAM_ENDED"
        self.text = reason
        self.reason = reason
        Exception.__init__(self, f"{call}: {detail}")


class HalvexWarning(UserWarning):
    """Something went wrong that did not stop the work: samples lost to an overrun, a transfer
    that came back short, samples a stream dropped when the caller chose to go on, readings
    beyond their input range, a consumer falling behind, or a chunk raised to what Python keeps
    up with."""


def check(code, call, detail=None):
    """Raises HalvexError unless code is 0."""
    if code != 0:
        raise HalvexError(code, call, detail)
