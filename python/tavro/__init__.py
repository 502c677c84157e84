"""Python access to the Tavro driver kit.

    import tavro
    with tavro.Kit() as kit:
        hand = kit.handset(0)
        print(hand.x, hand.y, hand.buttons)
        kit.settings.StabThresh = 5.0          # validated, saved in ~/.QuorVel/Tavro.xml
        for snap in kit.watch(interval=0.1, count=10):
            print(snap.active, snap.handsets[snap.active].x)

The package wraps the installed libTavroDev through ctypes.  Receiver commands
(``kit.ir``, ``kit.motor``, ``kit.camera``, ``kit.channel``, ``kit.info``) are
carried out by the device daemon tavrod; every failure is a TavroError.
Tracking values need the daemon too: without one, reading them raises
NoDaemonError, and snapshots say when their values are not live (``stale``).
``kit.profile`` shows and switches the key bindings' profile of the running
daemon, and ``kit.bindings()`` lists what each key does in a profile.
"""

from .errors import NoAnswerError, NoDaemonError, NoDesktopError, ReceiverError, TavroError
from .kit import (Binding, DaemonState, Handset, HandsetState, Info, Key, Kit, PointingMode, Snapshot,
                  Watch, keys_of)
from .settings import SETTINGS, Setting, Settings

__version__ = "1.0.0"
__all__ = [
    "Binding", "DaemonState", "Handset", "HandsetState", "Info", "Key", "Kit", "NoAnswerError",
    "NoDaemonError", "NoDesktopError", "PointingMode", "ReceiverError", "SETTINGS", "Setting", "Settings",
    "Snapshot", "TavroError", "Watch", "keys_of",
]
