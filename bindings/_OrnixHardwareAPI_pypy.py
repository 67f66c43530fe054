"""OrnixHardwareAPI's results under PyPy, built in PyPy itself.

Under PyPy's emulation of the extension interface, a container built in C (the tuple of lists a
motion command returns, the status dict, the lists handed to a callback) lives on until a full
collection of PyPy's heap, which a haptic loop meets as growing memory and long pauses. So the
calls a loop makes at rate also exist in the extension as in-place forms, which write their
numbers into the calling thread's results and return nothing, and the methods installed here
call them and build the results. Whatever is not the plain case (an object of another type,
other argument types, keywords, short vectors) goes to the ordinary method, so that every result
and every error stays exactly as it is. The extension imports this module only when it is built for PyPy.
"""

import threading

# Integers a float holds exactly: the ordinary conversion of larger ones may differ.
_EXACT = 2**53
_MOTIONS = ("end_effector_force", "joint_torques", "end_effector_position", "joint_angles")
_READINGS = (("get_motor_currents", 3), ("get_device_orientation", 4))

_local = threading.local()
_views = None


def _results():
    """The views of this thread's in-place results: numbers (floats) and bytes."""
    try:
        return _local.results
    except AttributeError:
        _local.results = _views()
        return _local.results


def _component(value):
    kind = type(value)
    return kind is float or (kind is int and -_EXACT <= value <= _EXACT)


def _like(ordinary, method, cls):
    method.__name__ = ordinary.__name__
    method.__qualname__ = f"{cls.__name__}.{ordinary.__name__}"
    method.__doc__ = ordinary.__doc__
    return method


def _motion(cls, ordinary, motion):
    def method(self, *args, **kwargs):
        if isinstance(self, cls) and not kwargs and len(args) <= 1:
            vector = args[0] if args else (0.0, 0.0, 0.0)
            if type(vector) in (list, tuple) and len(vector) >= 3:
                x, y, z = vector[0], vector[1], vector[2]
                if _component(x) and _component(y) and _component(z):
                    self._motion_in_place(motion, float(x), float(y), float(z))
                    numbers = _results()[0]
                    return (
                        [numbers[0], numbers[1], numbers[2]],
                        [numbers[3], numbers[4], numbers[5]],
                    )
        return ordinary(self, *args, **kwargs)

    return _like(ordinary, method, cls)


def _readings(cls, ordinary, readings, count):
    def method(self, *args, **kwargs):
        if args or kwargs or not isinstance(self, cls):
            return ordinary(self, *args, **kwargs)
        self._readings_in_place(readings)
        numbers = _results()[0]
        return [numbers[i] for i in range(count)]

    return _like(ordinary, method, cls)


def _quillet_status(cls, ordinary):
    def method(self, *args, **kwargs):
        if args or kwargs or not isinstance(self, cls):
            return ordinary(self, *args, **kwargs)
        self._quillet_status_in_place()
        numbers = _results()[0]
        return {
            "device_id": int(numbers[0]),
            "quaternion": [numbers[1], numbers[2], numbers[3], numbers[4]],
            "error_flag": int(numbers[5]),
            "hall_effect_sensor_level": int(numbers[6]),
            "buttons": int(numbers[7]),
            "battery_level": numbers[8],
        }

    return _like(ordinary, method, cls)


def deliver_status(override, device_id, error_flag, level, user_data_length):
    """Calls an override of OnReceiveHandleStatusMessage with the status message that waits in
    this thread's results: the quaternion among the numbers, the user data among the bytes."""
    numbers, data = _results()
    override(
        device_id,
        [numbers[0], numbers[1], numbers[2], numbers[3]],
        error_flag,
        level,
        user_data_length,
        [data[i] for i in range(user_data_length)],
    )


def install(module, views):
    """Replaces the module's methods that build containers at rate; `views` gives the calling
    thread's in-place results."""
    global _views
    _views = views
    ostrel3, handle = module.Ostrel3, module.Handle
    for motion, name in enumerate(_MOTIONS):
        setattr(ostrel3, name, _motion(ostrel3, getattr(ostrel3, name), motion))
    for readings, (name, count) in enumerate(_READINGS):
        setattr(ostrel3, name, _readings(ostrel3, getattr(ostrel3, name), readings, count))
    handle.GetQuilletStatus = _quillet_status(handle, handle.GetQuilletStatus)
