// Which of the two devices a port serves: named on the command line, served by a virtual
// device, and found by the recorder on a real link.
#pragma once

enum class DeviceKind { Arm, Handle };
