// The Python class Ostrel3: the current snake_case methods and the older PascalCase ones, most of
// them deprecated. Device exchanges run without the interpreter lock except where a method is
// documented to hold it; results are built once the lock is back.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Binding.h"
#include "Ostrel3.h"

namespace py = pybind11;

namespace Ornix::HardwareAPI::Python {

namespace {

using Devices::DeviceInfo;
using Devices::DeviceState;
using Devices::Ostrel3;
using Devices::Vector3;
using IO::SerialStream;

const std::vector<float> kZeroVector{0.0f, 0.0f, 0.0f};

// The arm reads (and the legacy receive methods write) exactly three components; only the first
// three of a longer list are used.
Vector3 ThreeValues(const std::vector<float>& values, const char* name) {
    if (values.size() < 3) {
        throw py::value_error(std::string(name) + ": three values are needed, " +
                              std::to_string(values.size()) + " given");
    }
    return {values[0], values[1], values[2]};
}

void StoreThree(std::vector<float>& values, const Vector3& components) {
    std::copy(components.begin(), components.end(), values.begin());
}

py::object StandardUuid(const UUID& identifier) {
    return py::module_::import("uuid").attr("UUID")(py::arg("hex") = identifier.PlainHex());
}

std::vector<int> ByteList(const UUID& identifier) {
    return std::vector<int>(identifier.data.begin(), identifier.data.end());
}

py::tuple StateTuple(const DeviceState& state) {
    return py::make_tuple(state.position, state.velocity);
}

// Runs one motion command without the interpreter lock.
template <typename Command>
py::tuple Move(Ostrel3& arm, Command command, const std::vector<float>& request, const char* name) {
    const Vector3 vector = ThreeValues(request, name);
    return StateTuple(Unlocked([&] { return (arm.*command)(vector); }));
}

// Sends one vector command without the interpreter lock, after its deprecation warning if any.
template <typename Command>
void SendVector(Ostrel3& arm, Command command, const Vector3& vector, const char* deprecation) {
    std::optional<Deprecation> warning;
    if (deprecation != nullptr) {
        warning.emplace(deprecation);
    }
    Unlocked([&] { (arm.*command)(vector); });
    if (warning) {
        warning->RaiseIfTurnedIntoError();
    }
}

// A legacy receive: the lists are the storage the arm's state is written into.
template <typename Receive>
py::tuple ReceiveInto(Ostrel3& arm, Receive receive, std::vector<float> position,
                      std::vector<float> velocity, const char* position_name,
                      const char* velocity_name, const char* deprecation) {
    Vector3 received_position = ThreeValues(position, position_name);
    Vector3 received_velocity = ThreeValues(velocity, velocity_name);
    Deprecation warning(deprecation);
    Unlocked([&] { (arm.*receive)(received_position, received_velocity); });
    warning.RaiseIfTurnedIntoError();
    StoreThree(position, received_position);
    StoreThree(velocity, received_velocity);
    return py::make_tuple(position, velocity);
}

#ifdef PYPY_VERSION
// The in-place forms of the calls a haptic loop makes at rate (see Binding.h).
void RegisterInPlaceForms(py::class_<Ostrel3>& ostrel3) {
    using MotionCommand = DeviceState (Ostrel3::*)(const Vector3&);
    // In the order of the public methods: end_effector_force, joint_torques,
    // end_effector_position, joint_angles.
    static constexpr MotionCommand kMotions[] = {&Ostrel3::EndEffectorForce, &Ostrel3::JointTorques,
                                                 &Ostrel3::EndEffectorPosition,
                                                 &Ostrel3::JointAngles};
    ostrel3.def("_motion_in_place", [](Ostrel3& arm, size_t motion, float x, float y, float z) {
        if (motion >= std::size(kMotions)) {
            throw py::value_error("no such motion command");
        }
        const DeviceState state = Unlocked([&] { return (arm.*kMotions[motion])({x, y, z}); });
        float* const numbers = ThreadResults().numbers.data();
        std::copy(state.position.begin(), state.position.end(), numbers);
        std::copy(state.velocity.begin(), state.velocity.end(), numbers + 3);
    });
    // 0: the motor currents, 1: the orientation; held lock, as get_motor_currents and
    // get_device_orientation.
    ostrel3.def("_readings_in_place", [](Ostrel3& arm, size_t readings) {
        float* const numbers = ThreadResults().numbers.data();
        if (readings == 0) {
            const Vector3 currents = Locked([&] { return arm.GetMotorCurrents(); });
            std::copy(currents.begin(), currents.end(), numbers);
        } else if (readings == 1) {
            const Devices::Vector4 orientation = Locked([&] { return arm.GetDeviceOrientation(); });
            std::copy(orientation.begin(), orientation.end(), numbers);
        } else {
            throw py::value_error("no such readings");
        }
    });
}
#endif

constexpr const char* kReceiveDeviceInfoDoc =
    "\n            Receive device info and return a tuple with the following fields: \n"
    "\n            device_id (uint16_t)\n            \n"
    "            device_model_num (uint8_t)\n            \n"
    "            hardware_version (uint8_t)\n            \n"
    "            firmware_version (uint8_t)\n            \n"
    "            device_id_ext (UUID)\n            ";

}  // namespace

void RegisterOstrel3(py::module_& module) {
    using SendCommand = void (Ostrel3::*)(const Vector3&);
    using MotionCommand = DeviceState (Ostrel3::*)(const Vector3&);
    using StateReceive = int (Ostrel3::*)(Vector3&, Vector3&);

    py::class_<Ostrel3> ostrel3(module, "Ostrel3", "Ostrel3 Device Class");
    ostrel3
        .def(py::init([](SerialStream* stream) {
                 if (stream == nullptr) {
                     throw py::type_error("Ostrel3 needs a SerialStream, not None");
                 }
                 auto arm = std::make_unique<Ostrel3>(stream, Devices::Device::kReplyTimeout);
                 arm->SetCancellation(SignalCancellation::Get());
                 return arm;
             }),
             py::keep_alive<1, 2>())
        .def(
            "device_wakeup",
            [](Ostrel3& arm) {
                const DeviceInfo info = Unlocked([&] { return arm.DeviceWakeup(); });
                return py::make_tuple(info.device_id, info.device_model_number,
                                      info.hardware_version, info.firmware_version,
                                      ByteList(info.device_id_ext));
            },
            "Wakeup the device and return the device info as a tuple.")
        .def(
            "device_wakeup_dict",
            [](Ostrel3& arm) {
                const DeviceInfo info = Unlocked([&] { return arm.DeviceWakeup(); });
                py::dict result;
                result["device_id"] = info.device_id;
                result["device_model_number"] = info.device_model_number;
                result["hardware_version"] = info.hardware_version;
                result["firmware_version"] = info.firmware_version;
                result["device_id_ext"] = StandardUuid(info.device_id_ext);
                return result;
            },
            "Wakeup the device and return the device info as a dict.")
        .def(
            "get_firmware_version",
            [](Ostrel3& arm) {
                return StandardUuid(Locked([&] { return arm.GetFirmwareVersion(); }));
            },
            "Receive the firmware version of the device.")
        .def(
            "get_device_id",
            [](Ostrel3& arm) { return StandardUuid(Locked([&] { return arm.GetDeviceId(); })); },
            "Receive the UUID of the device.")
        .def(
            "get_motor_currents",
            [](Ostrel3& arm) { return Locked([&] { return arm.GetMotorCurrents(); }); },
            "Receive the motor currents of the device.")
        .def(
            "get_device_orientation",
            [](Ostrel3& arm) { return Locked([&] { return arm.GetDeviceOrientation(); }); },
            "Receive the orientation of the base of the device.")
        .def(
            "get_power_status",
            [](Ostrel3& arm) { return (Locked([&] { return arm.GetPowerStatus(); }) & 1) != 0; },
            "Receive the power status of the device.")
        .def(
            "get_temperature",
            [](Ostrel3& arm) { return Locked([&] { return arm.GetTemperature(); }); },
            "Receive the temperature of the device.")
        .def(
            "end_effector_force",
            [](Ostrel3& arm, const std::vector<float>& force) {
                return Move(arm, MotionCommand(&Ostrel3::EndEffectorForce), force,
                            "force request vector");
            },
            py::arg("force request vector") = kZeroVector,
            "Send forces to the device and receive device states")
        .def(
            "joint_torques",
            [](Ostrel3& arm, const std::vector<float>& torques) {
                return Move(arm, MotionCommand(&Ostrel3::JointTorques), torques,
                            "joint torque request vector");
            },
            py::arg("joint torque request vector") = kZeroVector,
            "Send joint torques to the device and receive the joint states")
        .def(
            "end_effector_position",
            [](Ostrel3& arm, const std::vector<float>& position) {
                return Move(arm, MotionCommand(&Ostrel3::EndEffectorPosition), position,
                            "position request vector");
            },
            py::arg("position request vector") = kZeroVector,
            "Send end-effector position and receive device states")
        .def(
            "joint_angles",
            [](Ostrel3& arm, const std::vector<float>& angles) {
                return Move(arm, MotionCommand(&Ostrel3::JointAngles), angles,
                            "joint angle request vector");
            },
            py::arg("joint angle request vector") = kZeroVector,
            "Send joint angles to the device and receive the joint states")
        .def(
            "SendDeviceWakeup",
            [](Ostrel3& arm) {
                Deprecation warning("SendDeviceWakeup is deprecated, use device_wakeup instead");
                Unlocked([&] { arm.SendDeviceWakeup(); });
                warning.RaiseIfTurnedIntoError();
            },
            "[DEPRECATED] Send a device wakeup command")
        .def(
            "ReceiveDeviceInfo",
            [](Ostrel3& arm) {
                DeviceInfo info;
                Unlocked([&] {
                    arm.ReceiveDeviceInfo(info.device_id, info.device_model_number,
                                          info.hardware_version, info.firmware_version,
                                          info.device_id_ext);
                });
                return py::make_tuple(info.device_id, info.device_model_number,
                                      info.hardware_version, info.firmware_version,
                                      info.device_id_ext);
            },
            kReceiveDeviceInfoDoc)
        .def(
            "SendForce",
            [](Ostrel3& arm, const std::vector<float>& force) {
                SendVector(arm, SendCommand(&Ostrel3::SendForce), ThreeValues(force, "force"),
                           "SendForce is deprecated, use end_effector_force instead");
            },
            py::arg("force") = kZeroVector, "[Deprecated] Send force to the device")
        .def(
            "SendForce",
            [](Ostrel3& arm, float x, float y, float z) {
                SendVector(arm, SendCommand(&Ostrel3::SendForce), Vector3{x, y, z},
                           "SendForce is deprecated, use end_effector_force instead");
            },
            py::arg("ForceX") = 0, py::arg("ForceY") = 0, py::arg("ForceZ") = 0,
            "[Deprecated] Send force to the device")
        .def(
            "ReceiveState",
            [](Ostrel3& arm, std::vector<float> position, std::vector<float> velocity) {
                return ReceiveInto(arm, StateReceive(&Ostrel3::ReceiveState), std::move(position),
                                   std::move(velocity), "position", "velocity",
                                   "ReceiveState is deprecated, use end_effector instead");
            },
            py::arg("position") = kZeroVector, py::arg("velocity") = kZeroVector,
            "[Deprecated] receive state and return position and velocity")
        .def(
            "ReceiveJointState",
            [](Ostrel3& arm, std::vector<float> position, std::vector<float> velocity) {
                return ReceiveInto(arm, StateReceive(&Ostrel3::ReceiveJointState),
                                   std::move(position), std::move(velocity), "joint_position",
                                   "joint_velocity",
                                   "ReceiveJointState is deprecated, use joint_torques instead");
            },
            py::arg("joint_position") = kZeroVector, py::arg("joint_velocity") = kZeroVector,
            "[Deprecated] receive joint state and return position and velocity in the joint "
            "reference frame")
        .def(
            "SendJointTorques",
            [](Ostrel3& arm, const std::vector<float>& torques) {
                SendVector(arm, SendCommand(&Ostrel3::SendJointTorques),
                           ThreeValues(torques, "joint_torque"),
                           "SendJointTorques is deprecated, use joint_torques instead");
            },
            py::arg("joint_torque") = kZeroVector, "[Deprecated] send joint torque")
        .def(
            "SendAngle",
            [](Ostrel3& arm, const std::vector<float>& angles) {
                SendVector(arm, SendCommand(&Ostrel3::SendAngle), ThreeValues(angles, "angle"),
                           nullptr);
            },
            py::arg("angle") = kZeroVector, "Send angles to the device")
        .def(
            "RequestCurrent", [](Ostrel3& arm) { Unlocked([&] { arm.RequestCurrent(); }); },
            "request current")
        .def(
            "ReceiveCurrent",
            [](Ostrel3& arm, std::vector<float> current) {
                Vector3 received = ThreeValues(current, "current");
                Unlocked([&] { arm.ReceiveCurrent(received); });
                StoreThree(current, received);
                return current;
            },
            py::arg("current") = kZeroVector, "receive current and return current")
        .def(
            "SendPosition",
            [](Ostrel3& arm, const std::vector<float>& position) {
                SendVector(arm, SendCommand(&Ostrel3::SendPosition),
                           ThreeValues(position, "position"),
                           "SendPosition is deprecated, use end_effector_position instead");
            },
            py::arg("position") = kZeroVector, "[Deprecated] Send Position to the device");
#ifdef PYPY_VERSION
    RegisterInPlaceForms(ostrel3);
#endif
}

}  // namespace Ornix::HardwareAPI::Python
