"""The native part of the ornix companion package"""

from typing import Optional

import OrnixHardwareAPI

class Stop:
    """A stop of the calls it is given, which any thread may request."""

    def __init__(self) -> None: ...
    def request(self) -> None: ...
    @property
    def requested(self) -> bool: ...

def wake_arm(
    stream: OrnixHardwareAPI.SerialStream, stop: Stop
) -> Optional[tuple[int, int, int, int, bytes]]: ...
def wake_handle(
    stream: OrnixHardwareAPI.SerialStream, stop: Stop
) -> Optional[tuple[int, int, int, int]]: ...
def is_open(stream: OrnixHardwareAPI.SerialStream) -> bool: ...
