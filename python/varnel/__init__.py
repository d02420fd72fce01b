"""Drive emulated VARNEL units from Python tests.

``varnel.Emulator`` starts varnel-emu with its units and control API and cleans up after it;
``varnel.pytest_plugin`` gives pytest the ``varnel_emulator`` and ``varnel_unit`` fixtures.
Needs only the standard library (and pyserial for the URLs in ``Unit.url``).
"""

from .emulator import Emulator, Faults, Unit, find_binary
from .errors import ApiError, EmulatorError, Refused, VarnelError, VerificationError, WaitTimeout

__all__ = ["ApiError", "Emulator", "EmulatorError", "Faults", "Refused", "Unit", "VarnelError", "VerificationError",
           "WaitTimeout", "find_binary"]
__version__ = "1.0"
