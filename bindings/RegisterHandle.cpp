// The Python class Handle. Python subclasses receive the handle's messages in their overrides of
// the three field-form callbacks, carried by TrampolineHandle; the exact class gets a plain
// Handle whose callbacks do nothing. Every call that talks to the handle runs without the
// interpreter lock, which is taken back on the same thread for the overrides.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <memory>
#include <string>

#include "Binding.h"
#include "Handle.h"

namespace py = pybind11;

namespace Ornix::HardwareAPI::Python {

namespace {

using Devices::Handle;
using Devices::HandleStatusMessage;
using Devices::QuilletStatus;
using IO::SerialStream;

// The user data of SendHandleState from Python: one byte, or None for no user data.
struct OptionalByte {
    bool present = false;
    uint8_t value = 0;
};

}  // namespace

}  // namespace Ornix::HardwareAPI::Python

namespace pybind11::detail {

// Converts like any 8-bit integer argument, and also accepts None; prints as "int".
template <>
struct type_caster<Ornix::HardwareAPI::Python::OptionalByte> {
    PYBIND11_TYPE_CASTER(Ornix::HardwareAPI::Python::OptionalByte, const_name("int"));

    bool load(handle source, bool convert) {
        if (source.is_none()) {
            value = {};
            return true;
        }
        make_caster<uint8_t> byte;
        if (!byte.load(source, convert)) {
            return false;
        }
        value = {true, cast_op<uint8_t>(byte)};
        return true;
    }

    static handle cast(const Ornix::HardwareAPI::Python::OptionalByte& byte, return_value_policy,
                       handle) {
        return byte.present ? PyLong_FromLong(byte.value) : none().release();
    }
};

}  // namespace pybind11::detail

namespace Ornix::HardwareAPI::Python {

namespace {

constexpr const char* kPureStatusCallback =
    "Tried to call pure virtual function \"API::Devices::Handle::OnReceiveHandleStatusMessage\"";

// Carries the library's field-form callbacks into the overrides of a Python subclass. The
// override is looked up on every message, since a class may gain one at any time, and called
// whenever it is not the base method: a Receive inside an override reaches the overrides too.
class TrampolineHandle : public Handle {
public:
    using Handle::Handle;

    void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id,
                             uint8_t device_model_number, uint8_t hardware_version,
                             uint8_t firmware_version) override {
        const LockTaken lock;
        if (const py::object override = Override("OnReceiveHandleInfo")) {
            override(tool_data_remaining, device_id, device_model_number, hardware_version,
                     firmware_version);
        }
    }

    void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion,
                                      uint8_t error_flag, uint8_t hall_effect_sensor_level,
                                      uint8_t user_data_length, const uint8_t* user_data) override {
        // The library's buffers belong to the ongoing receive: copied before the lock is taken.
        std::array<float, 4> components;
        std::copy(quaternion, quaternion + components.size(), components.begin());
        std::array<uint8_t, HandleStatusMessage::kMaxUserData> data;
        std::copy(user_data, user_data + user_data_length, data.begin());

        const LockTaken lock;
        const py::object override = Override("OnReceiveHandleStatusMessage");
        if (!override) {
            throw std::runtime_error(kPureStatusCallback);
        }
#ifdef PYPY_VERSION
        // The lists are built by the PyPy layer from the thread's in-place results.
        InPlaceResults& results = ThreadResults();
        std::copy(components.begin(), components.end(), results.numbers.begin());
        std::copy(data.begin(), data.begin() + user_data_length, results.bytes.begin());
        const py::object arguments[] = {override, py::int_(device_id), py::int_(error_flag),
                                        py::int_(hall_effect_sensor_level),
                                        py::int_(user_data_length)};
        PyObject* const pointers[] = {arguments[0].ptr(), arguments[1].ptr(), arguments[2].ptr(),
                                      arguments[3].ptr(), arguments[4].ptr()};
        const py::object delivered = py::reinterpret_steal<py::object>(
            PyObject_Vectorcall(StatusDelivery().ptr(), pointers, std::size(pointers), nullptr));
        if (!delivered) {
            throw py::error_already_set();
        }
#else
        py::list user_bytes(user_data_length);
        for (size_t i = 0; i < user_data_length; ++i) {
            user_bytes[i] = data[i];
        }
        override(device_id, components, error_flag, hall_effect_sensor_level, user_data_length,
                 user_bytes);
#endif
    }

    void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code) override {
        const LockTaken lock;
        if (const py::object override = Override("OnReceiveHandleErrorResponse")) {
            override(device_id, error_code);
        }
    }

private:
    // The Python object's method of that name when it is not the base method; nothing else.
    py::object Override(const char* name) const {
        const py::detail::type_info* base = py::detail::get_type_info(typeid(Handle));
        const py::handle self =
            py::detail::get_object_handle(static_cast<const Handle*>(this), base);
        if (!self) {
            return {};
        }
        py::object method = py::getattr(self, name, py::none());
        const py::object base_method =
            py::getattr(py::handle(reinterpret_cast<PyObject*>(base->type)), name);
        if (method.is_none() ||
            py::detail::get_function(method).ptr() == py::detail::get_function(base_method).ptr()) {
            return {};
        }
        return method;
    }
};

// Whether the Python code calling a base callback method is that method's override on the same
// object: a base-class call (super()), which gets the base behaviour and not the override again.
// Called from anywhere else, the base method passes the call on to the override, if any.
bool CalledFromItsOverride(const Handle& handle, const char* name) {
    const py::handle self = py::detail::get_object_handle(
        static_cast<const Handle*>(&handle), py::detail::get_type_info(typeid(Handle)));
    const py::object frame = py::module_::import("sys").attr("_getframe")(0);
    const py::object code = frame.attr("f_code");
    if (code.attr("co_name").cast<std::string>() != name ||
        code.attr("co_argcount").cast<int>() == 0) {
        return false;
    }
    const py::object first = code.attr("co_varnames")[py::int_(0)];
    return frame.attr("f_locals").attr("get")(first).is(self);
}

bool IsSubclass(const Handle& handle) {
    return dynamic_cast<const TrampolineHandle*>(&handle) != nullptr;
}

py::dict StatusDict(const QuilletStatus& status) {
    py::dict result;
    result["device_id"] = status.device_id;
    result["quaternion"] = status.quaternion;
    result["error_flag"] = status.error_flag;
    result["hall_effect_sensor_level"] = status.hall_effect_sensor_level;
    result["buttons"] = status.buttons;
    result["battery_level"] = status.battery_level;
    return result;
}

template <typename Kind>
std::unique_ptr<Kind> Made(SerialStream* stream) {
    if (stream == nullptr) {
        throw py::type_error("Handle needs a SerialStream, not None");
    }
    auto handle = std::make_unique<Kind>(stream);
    handle->SetCancellation(SignalCancellation::Get());
    return handle;
}

}  // namespace

void RegisterHandle(py::module_& module) {
    py::class_<Handle, TrampolineHandle> handle_class(module, "Handle", "The quillet handle class");
    handle_class
        .def(py::init([](SerialStream* stream) { return Made<Handle>(stream); },
                      [](SerialStream* stream) { return Made<TrampolineHandle>(stream); }),
             py::keep_alive<1, 2>())
        .def("SendDeviceWakeup",
             [](Handle& handle) { Unlocked([&] { handle.SendDeviceWakeup(); }); })
        .def(
            "SendHandleState",
            [](Handle& handle, uint16_t device_id, uint8_t data_length, OptionalByte user_data) {
                const uint8_t supplied = user_data.present ? 1 : 0;
                if (data_length > supplied) {
                    throw py::value_error(
                        "SendHandleState: data_length " + std::to_string(data_length) +
                        " needs that many bytes of user data, but " + std::to_string(supplied) +
                        (supplied == 1 ? " was" : " were") + " given");
                }
                const uint8_t* bytes = user_data.present ? &user_data.value : nullptr;
                Unlocked([&] { handle.SendHandleState(device_id, data_length, bytes); });
            },
            py::arg("device_id") = 0, py::arg("data_length") = 0, py::arg("user_data") = py::none(),
            "send handle state")
        .def(
            "RequestStatus", [](Handle& handle) { Unlocked([&] { handle.RequestStatus(); }); },
            "request handle status")
        .def(
            "OnReceiveHandleInfo",
            [](Handle& handle, uint8_t tool_data_remaining, uint16_t device_id,
               uint8_t device_model_number, uint8_t hardware_version, uint8_t firmware_version) {
                if (IsSubclass(handle) && !CalledFromItsOverride(handle, "OnReceiveHandleInfo")) {
                    handle.OnReceiveHandleInfo(tool_data_remaining, device_id, device_model_number,
                                               hardware_version, firmware_version);
                }
            },
            py::arg("tool_data_remaining"), py::arg("device_id"), py::arg("device_model_number"),
            py::arg("hardware_version"), py::arg("firmware_version"), "OnReceiveHandleInfo")
        .def(
            "OnReceiveHandleStatusMessage",
            [](Handle& handle, uint16_t device_id, float quaternion, uint8_t error_flag,
               uint8_t hall_effect_sensor_level, uint8_t user_data_length, uint8_t user_data) {
                // Pure for Python subclasses: what super() reaches.
                if (IsSubclass(handle) &&
                    CalledFromItsOverride(handle, "OnReceiveHandleStatusMessage")) {
                    throw std::runtime_error(kPureStatusCallback);
                }
                // The callback reads four components and user_data_length bytes: pad with zeros.
                const std::array<float, 4> components = {quaternion, 0.0f, 0.0f, 0.0f};
                std::array<uint8_t, HandleStatusMessage::kMaxUserData> data{};
                data[0] = user_data;
                handle.OnReceiveHandleStatusMessage(device_id, components.data(), error_flag,
                                                    hall_effect_sensor_level, user_data_length,
                                                    data.data());
            },
            py::arg("device_id"), py::arg("quaternion"), py::arg("error_flag"),
            py::arg("hall_effect_sensor_level"), py::arg("user_data_length"), py::arg("user_data"),
            "OnReceiveHandleStatusMessage")
        .def(
            "OnReceiveHandleErrorResponse",
            [](Handle& handle, uint16_t device_id, uint8_t error_code) {
                if (IsSubclass(handle) &&
                    !CalledFromItsOverride(handle, "OnReceiveHandleErrorResponse")) {
                    handle.OnReceiveHandleErrorResponse(device_id, error_code);
                }
            },
            py::arg("device_id"), py::arg("error_code"), "OnReceiveHandleErrorResponse")
        .def(
            "Receive", [](Handle& handle) { return Unlocked([&] { return handle.Receive(); }); },
            "Receive data from the handle")
        .def(
            "Receive",
            [](Handle& handle, uint8_t) {
                Deprecation warning("Receive with one argument is deprecated");
                const int count = Unlocked([&] { return handle.Receive(); });
                warning.RaiseIfTurnedIntoError();
                return count;
            },
            py::arg("obsolete"), "[DEPRECATED] Receive current and return current")
        .def(
            "GetQuilletStatus",
            [](Handle& handle) {
                return StatusDict(Unlocked([&] { return handle.GetQuilletStatus(); }));
            },
            "Get the most recent Quillet informations");
#ifdef PYPY_VERSION
    // The in-place form of GetQuilletStatus (see Binding.h): device id, quaternion, error flag,
    // sensor level, buttons and battery level, in that order.
    handle_class.def("_quillet_status_in_place", [](Handle& handle) {
        const QuilletStatus status = Unlocked([&] { return handle.GetQuilletStatus(); });
        float* const numbers = ThreadResults().numbers.data();
        numbers[0] = status.device_id;
        std::copy(status.quaternion.begin(), status.quaternion.end(), numbers + 1);
        numbers[5] = status.error_flag;
        numbers[6] = status.hall_effect_sensor_level;
        numbers[7] = status.buttons;
        numbers[8] = status.battery_level;
    });
#endif
}

}  // namespace Ornix::HardwareAPI::Python
