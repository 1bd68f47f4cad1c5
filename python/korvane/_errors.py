"""The exceptions of the package and the error query's result. Every failure of a driver call
arrives as an exception; no call returns a status."""
from __future__ import annotations

from typing import NamedTuple

# KVSCOPE_ERROR_INSTRUMENT_ERROR_DETECTED (0x80047001): the instrument's error queue held entries
# after a call.
INSTRUMENT_STATUS = 0x80047001 - (1 << 32)


class ErrorQueryResult(NamedTuple):
    """One entry of the instrument's error queue.

    Attributes:
        code: The instrument's error number (never 0: an empty queue gives no result).
        message: The instrument's text for it.
    """

    code: int
    message: str


class Error(Exception):
    """A failed driver call.

    Attributes:
        status: The driver's status as kvscope.h names it, negative (KVSCOPE_ERROR_INSTRUMENT_ERROR_DETECTED,
            0x80047001, reads -2147192831).
        description: The driver's text for it; after an instrument's refusal it ends with the
            instrument's own messages.
        function: The C function that failed, or "" when the package itself raised it.
        instrument_errors: The entries read from the instrument's error queue, oldest first.
    """

    def __init__(self, status: int, description: str, function: str = "",
                 instrument_errors: tuple[ErrorQueryResult, ...] = ()) -> None:
        self.status = status
        self.description = description
        self.function = function
        self.instrument_errors = instrument_errors
        super().__init__(f"{function + ': ' if function else ''}0x{status & 0xFFFFFFFF:08X} {description}")

    @property
    def code(self) -> int:
        """The status as an unsigned 32-bit number (0x80047001)."""
        return self.status & 0xFFFFFFFF


class InstrumentError(Error):
    """The instrument reported errors of its own (raise_on_device_error, or a refused command
    when the instrument's status is queried)."""


class KorvaneWarning(UserWarning):
    """A call that succeeded with a warning status (positive)."""
