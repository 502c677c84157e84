"""The package's exceptions: every failure is one of these, with the kit's message."""

from __future__ import annotations


class TavroError(Exception):
    """Something the kit could not do; the message says what and why."""


class NoAnswerError(TavroError):
    """Nobody carried out a request in time: no daemon took it up, or the receiver
    did not answer.  A request that timed out has been withdrawn: it will not be
    carried out later."""


class NoDaemonError(TavroError):
    """No device daemon (tavrod) runs: receiver commands cannot be sent, and the
    record holds no live tracking values (positions, keys, the active handset)
    to read.  A watch raises it when the daemon goes away under it."""


class NoDesktopError(TavroError):
    """A key cannot reach any desktop: there is no X display to send it to and no
    device daemon with a virtual keyboard (tavrod --output uinput) to type it."""


class ReceiverError(TavroError):
    """The receiver refused a command or the command could not be written to it."""

    def __init__(self, message: str, code: int) -> None:
        super().__init__(message)
        self.code = code
