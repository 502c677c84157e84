"""The package's exceptions: every failure is one of these, with the kit's message."""

from __future__ import annotations


class TavroError(Exception):
    """Something the kit could not do; the message says what and why."""


class NoAnswerError(TavroError):
    """Nobody carried out a request in time: no daemon took it up, or the receiver
    did not answer.  A request that timed out has been withdrawn: it will not be
    carried out later."""


class NoDaemonError(TavroError):
    """No device daemon (tavrod) runs, so receiver commands cannot be sent."""


class ReceiverError(TavroError):
    """The receiver refused a command or the command could not be written to it."""

    def __init__(self, message: str, code: int) -> None:
        super().__init__(message)
        self.code = code
