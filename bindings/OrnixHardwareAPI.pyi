"""Python Implementation of the Ornix Hardware API"""

# Generated from the built module by tools/generate-stubs: rerun it, do not edit.

import uuid
from typing import overload

class SerialStream:
    def __init__(self, arg0: str, /) -> None:
        """Initialize the serial stream"""

class UUID:
    def __init__(self) -> None: ...
    def bytes(self) -> list[int]: ...

class Device: ...

class Ostrel3:
    """Ostrel3 Device Class"""

    def __init__(self, arg0: SerialStream, /) -> None: ...
    def device_wakeup(self) -> tuple:
        """Wakeup the device and return the device info as a tuple."""

    def device_wakeup_dict(self) -> dict:
        """Wakeup the device and return the device info as a dict."""

    def get_firmware_version(self) -> uuid.UUID:
        """Receive the firmware version of the device."""

    def get_device_id(self) -> uuid.UUID:
        """Receive the UUID of the device."""

    def get_motor_currents(self) -> list[float]:
        """Receive the motor currents of the device."""

    def get_device_orientation(self) -> list[float]:
        """Receive the orientation of the base of the device."""

    def get_power_status(self) -> bool:
        """Receive the power status of the device."""

    def get_temperature(self) -> float:
        """Receive the temperature of the device."""

    def end_effector_force(self, force_request_vector: list[float] = ..., /) -> tuple:
        """Send forces to the device and receive device states"""

    def joint_torques(self, joint_torque_request_vector: list[float] = ..., /) -> tuple:
        """Send joint torques to the device and receive the joint states"""

    def end_effector_position(self, position_request_vector: list[float] = ..., /) -> tuple:
        """Send end-effector position and receive device states"""

    def joint_angles(self, joint_angle_request_vector: list[float] = ..., /) -> tuple:
        """Send joint angles to the device and receive the joint states"""

    def SendDeviceWakeup(self) -> None:
        """[DEPRECATED] Send a device wakeup command"""

    def ReceiveDeviceInfo(self) -> tuple:
        """Receive device info and return a tuple with the following fields:

        device_id (uint16_t)

        device_model_num (uint8_t)

        hardware_version (uint8_t)

        firmware_version (uint8_t)

        device_id_ext (UUID)
        """

    @overload
    def SendForce(self, force: list[float] = ...) -> None:
        """[Deprecated] Send force to the device"""

    @overload
    def SendForce(self, ForceX: float = ..., ForceY: float = ..., ForceZ: float = ...) -> None:
        """[Deprecated] Send force to the device"""

    def ReceiveState(self, position: list[float] = ..., velocity: list[float] = ...) -> tuple:
        """[Deprecated] receive state and return position and velocity"""

    def ReceiveJointState(
        self, joint_position: list[float] = ..., joint_velocity: list[float] = ...
    ) -> tuple:
        """[Deprecated] receive joint state and return position and velocity in the joint reference frame"""

    def SendJointTorques(self, joint_torque: list[float] = ...) -> None:
        """[Deprecated] send joint torque"""

    def SendAngle(self, angle: list[float] = ...) -> None:
        """Send angles to the device"""

    def RequestCurrent(self) -> None:
        """request current"""

    def ReceiveCurrent(self, current: list[float] = ...) -> list[float]:
        """receive current and return current"""

    def SendPosition(self, position: list[float] = ...) -> None:
        """[Deprecated] Send Position to the device"""

class Handle:
    """The quillet handle class"""

    def __init__(self, arg0: SerialStream, /) -> None: ...
    def SendDeviceWakeup(self) -> None: ...
    def SendHandleState(
        self, device_id: int = ..., data_length: int = ..., user_data: int | None = None
    ) -> None:
        """send handle state"""

    def RequestStatus(self) -> None:
        """request handle status"""

    def OnReceiveHandleInfo(
        self,
        tool_data_remaining: int,
        device_id: int,
        device_model_number: int,
        hardware_version: int,
        firmware_version: int,
    ) -> None:
        """OnReceiveHandleInfo"""

    def OnReceiveHandleStatusMessage(
        self,
        device_id: int,
        quaternion: float,
        error_flag: int,
        hall_effect_sensor_level: int,
        user_data_length: int,
        user_data: int,
    ) -> None:
        """OnReceiveHandleStatusMessage"""

    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
        """OnReceiveHandleErrorResponse"""

    @overload
    def Receive(self) -> int:
        """Receive data from the handle"""

    @overload
    def Receive(self, obsolete: int) -> int:
        """[DEPRECATED] Receive current and return current"""

    def GetQuilletStatus(self) -> dict:
        """Get the most recent Quillet informations"""

def get_cpp_version() -> str:
    """Get the version of the CPP library"""

def print_cpp_version() -> None:
    """Print the version of the CPP library"""

def detect_ostrel3s() -> list[str]:
    """detect available ostrel3 devices"""

def detect_handles() -> list[str]:
    """detect available handles"""

def detect_wired_handles() -> list[str]:
    """detect available wired handles"""

def detect_wireless_handles() -> list[str]:
    """detect available wireless handles"""

__version__: str
