"""Client for dexterous robot hands on the 192.168.137.0/24 subnet (type stubs).

DexHand is the typed client: reads return numpy arrays and failures raise a
DexHandError subclass. LegacyDexHand is the integer client of earlier releases.
"""
import enum
from types import TracebackType
from typing import Callable, Iterator, Optional, Sequence, Type, Union

import numpy as np
import numpy.typing as npt

_Float32Array = npt.NDArray[np.float32]
_Positions = Union[Sequence[float], npt.NDArray[np.floating]]

class Status(enum.Enum):
    """What a call did."""

    OK = 0
    FAILED = 1
    TIMEOUT = 2
    NOT_SERVED = 3
    UNKNOWN_HAND = 4
    INVALID_ARGUMENT = 5

class Operation(enum.Enum):
    """An operation on one hand, named after the DexHand method it stands for."""

    READ_POSITIONS = 0
    SET_POSITIONS = 1
    FAST_SET_POSITIONS = 2
    READ_VELOCITIES = 3
    READ_CURRENTS = 4
    READ_ERROR_CODES = 5
    CLEAR_ERROR_CODES = 6
    ENABLE = 7
    DISABLE = 8
    REBOOT = 9
    READ_CONFIG = 10
    WRITE_CONFIG = 11
    READ_TACTILE = 12
    CALIBRATE = 13

class StateParts(enum.IntFlag):
    """The parts of a hand's state that DexHand.state() reads; combine them with |."""

    POSITIONS = 1
    VELOCITIES = 2
    CURRENTS = 4
    ERROR_CODES = 8
    ALL = 15

class DexHandError(Exception):
    """A DexHand call did not do what it was asked."""

    status: Status
    """What the call did."""
    address: Optional[str]
    """The hand's address; None when the call named none."""

class HandTimeout(DexHandError, TimeoutError):
    """The hand did not answer within the operation's budget (Status.TIMEOUT)."""

class HandFailure(DexHandError):
    """The hand refused the request, its reply was unusable, or the send failed (Status.FAILED)."""

class NotServed(DexHandError):
    """The hand's kind has no such operation; nothing was sent (Status.NOT_SERVED)."""

class UnknownHand(DexHandError, LookupError):
    """No registered hand has this address; nothing was sent (Status.UNKNOWN_HAND)."""

class InvalidArgument(DexHandError, ValueError):
    """An address or value was refused before anything was sent (Status.INVALID_ARGUMENT)."""

class KindInfo:
    """What the library knows about one kind of hand."""

    @property
    def name(self) -> str:
        """The discovery name ("qmhv1", "qmhv2", "QSH")."""
    @property
    def types(self) -> list[str]:
        """The discovery types the library registers; empty: any type."""
    @property
    def joints(self) -> int:
        """Joints, and values a position command takes."""
    @property
    def joint_names(self) -> list[str]:
        """One name per joint, in the order of the position arrays."""
    @property
    def position_unit(self) -> str:
        """The unit of a position value ("fraction" of the joint's travel, or "degree")."""
    @property
    def position_min(self) -> float:
        """The lowest position a command may ask for."""
    @property
    def position_max(self) -> float:
        """The highest position a command may ask for."""
    @property
    def hold_value(self) -> float:
        """The value that leaves a joint where it is, allowed in any command."""
    @property
    def operations(self) -> list[Operation]:
        """The operations this kind serves."""
    @property
    def tactile_row_bytes(self) -> int:
        """Bytes in one row of the tactile matrix; 0 when the kind has none."""
    @property
    def has_tactile(self) -> bool:
        """True when the kind has a tactile matrix."""
    def serves(self, operation: Operation) -> bool:
        """True when a hand of this kind serves the operation."""
    def check_positions(self, positions: _Positions) -> str:
        """Why these positions may not be sent to a hand of this kind, or "" when they may."""

def kinds() -> list[KindInfo]:
    """Every kind of hand the library serves, in a fixed order."""

def find_kind(name: str) -> Optional[KindInfo]:
    """The KindInfo with this discovery name, or None."""

def status_text(status: Union[Status, int]) -> str:
    """A short text for a Status, or for a legacy integer status."""

class HandInfo:
    """What a hand said about itself at discovery."""

    @property
    def address(self) -> str:
        """Its IPv4 address; the name every call takes."""
    @property
    def kind(self) -> str:
        """Its kind's discovery name."""
    @property
    def type(self) -> str:
        """Its discovery type ("QMH-12R", ...)."""
    @property
    def driver_version(self) -> str:
        """The driver version text from discovery."""
    @property
    def hardware_version(self) -> str:
        """The hardware version text from discovery."""
    @property
    def serial_number(self) -> str:
        """The serial number from discovery; "" when the hand sent none."""
    @property
    def kind_info(self) -> KindInfo:
        """The facts of its kind."""

class SkippedDevice:
    """A device that answered discovery but was not registered."""

    @property
    def address(self) -> str:
        """The address it gave."""
    @property
    def kind(self) -> str:
        """The discovery name it gave."""
    @property
    def type(self) -> str:
        """The discovery type it gave."""
    @property
    def reason(self) -> str:
        """Why it was not registered."""

class HandState:
    """One reading of a hand, each part with its own status."""

    @property
    def address(self) -> str:
        """The hand's address."""
    @property
    def stamp(self) -> float:
        """When the reading ended, in seconds since the epoch (as time.time())."""
    @property
    def positions(self) -> _Float32Array:
        """Joint positions in the kind's position_unit; empty unless positions_status is OK."""
    @property
    def velocities(self) -> _Float32Array:
        """Joint velocities; empty unless velocities_status is OK."""
    @property
    def currents(self) -> _Float32Array:
        """Joint currents; empty unless currents_status is OK."""
    @property
    def error_codes(self) -> list[int]:
        """The hand's error codes; empty unless error_codes_status is OK."""
    @property
    def positions_status(self) -> Status:
        """The outcome of the position read."""
    @property
    def velocities_status(self) -> Status:
        """The outcome of the velocity read."""
    @property
    def currents_status(self) -> Status:
        """The outcome of the current read."""
    @property
    def error_codes_status(self) -> Status:
        """The outcome of the error-code read."""

class CalibrationProgress:
    """Where a calibration stands, as passed to a progress callback."""

    @property
    def address(self) -> str:
        """The hand being calibrated."""
    @property
    def elapsed(self) -> float:
        """Seconds since the calibration command was sent."""
    @property
    def finished(self) -> bool:
        """True once the hand reported the outcome or the calibration gave up."""
    @property
    def status(self) -> Status:
        """The outcome once finished (OK, FAILED or TIMEOUT); OK while running."""

class Reading:
    """One hand's result in a many-hands position read."""

    @property
    def address(self) -> str:
        """The hand's address, as asked for."""
    @property
    def status(self) -> Status:
        """What the read did."""
    @property
    def positions(self) -> Optional[_Float32Array]:
        """Joint positions when status is OK, else None."""
    @property
    def ok(self) -> bool:
        """True when status is OK."""

_ProgressCallback = Callable[[CalibrationProgress], object]

class DexHand:
    """The typed client of the hands on the subnet; `with DexHand() as hands:` discovers and closes."""

    def __init__(self) -> None:
        """A client that knows no hand yet; nothing goes on the network until discover()."""
    def discover(self) -> list[HandInfo]:
        """Discovers and registers the hands (one second of listening); raises HandTimeout or HandFailure."""
    def hands(self) -> list[HandInfo]:
        """The registered hands, in registration order."""
    def skipped(self) -> list[SkippedDevice]:
        """The devices the last discover() left out."""
    def hand(self, address: str) -> HandInfo:
        """The registered hand at this address; raises UnknownHand."""
    def kind_of(self, address: str) -> KindInfo:
        """The facts of a registered hand's kind; raises UnknownHand."""
    def __iter__(self) -> Iterator[HandInfo]:
        """Iterates over the registered hands."""
    def __len__(self) -> int:
        """The number of registered hands."""
    def positions(self, address: str) -> _Float32Array:
        """Reads the joint positions in the kind's position_unit."""
    def velocities(self, address: str) -> _Float32Array:
        """Reads the joint velocities."""
    def currents(self, address: str) -> _Float32Array:
        """Reads the joint currents."""
    def error_codes(self, address: str) -> list[int]:
        """Reads the hand's error codes."""
    def tactile(self, address: str) -> npt.NDArray[np.uint8]:
        """Reads the tactile matrix: rows by the kind's tactile_row_bytes."""
    def config(self, address: str) -> str:
        """Reads the hand's configuration (JSON text)."""
    def state(self, address: str, parts: StateParts = ...) -> HandState:
        """Reads the parts asked for, each with its own status; raises only for an unusable address."""
    def set_positions(self, address: str, positions: _Positions) -> None:
        """Commands joint targets; values outside the kind's range raise InvalidArgument and send nothing."""
    def fast_set_positions(self, address: str, positions: _Positions) -> None:
        """As set_positions, through the kind's fast position command."""
    def enable(self, address: str) -> None:
        """Enables the hand's motors."""
    def disable(self, address: str) -> None:
        """Disables the hand's motors."""
    def reboot(self, address: str) -> None:
        """Restarts the hand."""
    def clear_error_codes(self, address: str) -> None:
        """Clears the hand's error codes."""
    def set_config(self, address: str, config: str) -> None:
        """Writes configuration items (JSON object text)."""
    def calibrate(self, address: str, progress: Optional[_ProgressCallback] = None) -> None:
        """Runs the hand's calibration and waits for its outcome; raises HandFailure or HandTimeout."""
    def calibrate_many(self, addresses: Sequence[str], progress: Optional[_ProgressCallback] = None) -> list[Status]:
        """Calibrates these hands in parallel; one Status per address, nothing raised for a hand's failure."""
    def many_positions(self, addresses: Sequence[str]) -> list[Reading]:
        """Reads the positions of these hands in one round trip; one Reading per address."""
    def all_positions(self) -> list[Reading]:
        """many_positions() over every registered hand, in registration order."""
    def set_many_positions(self, addresses: Sequence[str], positions: Sequence[_Positions]) -> list[Status]:
        """Commands positions[i] to addresses[i] in one round trip; one Status per address."""
    @property
    def legacy(self) -> LegacyDexHand:
        """The integer client on the same hands and registry."""
    def close(self) -> None:
        """Closes the hands' endpoints; later calls raise ValueError."""
    @property
    def closed(self) -> bool:
        """True after close()."""
    def __enter__(self) -> DexHand:
        """Runs discover() unless it has run already."""
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> bool:
        """Closes the DexHand."""

SUCCESS: int
"""A legacy call succeeded (0)."""
FAILURE: int
"""A legacy call failed (-1)."""
TIMEOUT: int
"""A legacy call timed out (-2)."""

class LegacyDexHand:
    """The integer client of earlier releases: statuses 0, -1, -2 and empty results on failure."""

    def __init__(self) -> None:
        """An empty client; nothing goes on the network until init()."""
    def init(self, unused: int = 0) -> int:
        """Discovers the hands (one second of listening): 0 on success, -1 otherwise."""
    def get_ip_list(self) -> list[str]:
        """The registered addresses, in registration order."""
    def isValidIP(self, ip: str) -> bool:
        """True for four dot-separated decimal fields of 0 to 255."""
    def get_name(self, ip: str) -> str:
        """The hand's discovery name; "" when unknown."""
    def get_type(self, ip: str) -> str:
        """The hand's discovery type; "" when unknown."""
    def get_driver_ver(self, ip: str) -> str:
        """The driver version text from discovery; "" when unknown."""
    def get_hardware_ver(self, ip: str) -> str:
        """The hardware version text from discovery; "" when unknown."""
    def enable(self, ip: str = ...) -> int:
        """Enables one hand, or every registered hand without an address."""
    def disable(self, ip: str = ...) -> int:
        """Disables one hand, or every registered hand without an address."""
    def reboot(self, ip: str = ...) -> int:
        """Reboots one hand, or every registered hand without an address."""
    def set_pos(self, ip: str, pos: Sequence[float]) -> int:
        """Commands joint positions: 0, -1 or -2."""
    def fast_set_pos(self, ip: str, pos: Sequence[float]) -> int:
        """Commands joint positions through the fast command: 0, -1 or -2."""
    def get_pos(self, ip: str) -> list[float]:
        """Joint positions; [] when the read failed."""
    def get_errorcode(self, ip: str) -> list[int]:
        """Error codes as the hand reports them."""
    def clear_errorcode(self, ip: str) -> int:
        """Clears the hand's error codes: 0 or -1."""
    def set_hand_config(self, ip: str, config: str) -> int:
        """Writes the hand's configuration (JSON text): 0 or -1."""
    def get_hand_config(self, ip: str) -> str:
        """The hand's configuration as JSON text; "" when the read failed."""
    def get_ts_matrix(self, ip: str) -> list[bytes]:
        """The tactile matrix as bytes rows; [] when the hand has none or the read failed."""
    def get_pvc(self, ip: str) -> list[list[float]]:
        """[positions, velocities, currents]; [] unless all three could be read."""
    def calibration(self, ip: str = ...) -> int:
        """Calibrates one hand, or every second-generation hand without an address: 0, -1 or -2."""
    def calibrationThread(self, ip: str) -> str:
        """One calibration worker on the calling thread: "success", "error" or "timeout"."""
