"""The exceptions the package raises."""


class VarnelError(Exception):
    """Base of every error this package raises."""


class EmulatorError(VarnelError):
    """varnel-emu could not be found or started, or it is no longer running.

    ``output`` holds the last lines the process wrote (standard error first), when there are any;
    the message shows ``brief`` in their place when one is given.
    """

    def __init__(self, message, output="", brief=None):
        shown = output if brief is None else brief
        super().__init__(message + ("\n" + shown if shown else ""))
        self.output = output


class ApiError(VarnelError):
    """The control API answered a request with an error, or could not be reached.

    ``method``, ``path``, ``status`` (None when no answer came) and ``message`` (the API's
    ``error`` text, or what went wrong) say which request failed and why.
    """

    def __init__(self, method, path, status, message):
        where = "%s %s" % (method, path)
        super().__init__("%s: %s" % (where, message) if status is None
                         else "%s: HTTP %d: %s" % (where, status, message))
        self.method = method
        self.path = path
        self.status = status
        self.message = message


class Refused(ApiError):
    """The unit refused a fault rule, a scenario or a value (HTTP 400).

    ``str(error)`` is the unit's own message, the one its command line would print.
    """

    def __str__(self):
        return self.message


class VerificationError(VarnelError, AssertionError):
    """A unit's journal does not hold what :meth:`varnel.Unit.verify` or
    :meth:`varnel.Unit.verify_sequence` expected.

    ``str(error)`` says what was expected, how many matched and the nearest events, field by field;
    ``answer`` is the control API's answer as it came.
    """

    def __init__(self, message, answer=None):
        super().__init__(message)
        self.answer = answer


class WaitTimeout(VerificationError, TimeoutError):
    """:meth:`varnel.Unit.wait_for` saw no such event in time; the message shows the nearest ones."""
