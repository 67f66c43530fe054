// The library's version, for programs that need to know which library they drive devices with.
#pragma once

namespace Ornix::HardwareAPI {

const char* GetVersion();
// Writes "Library version: <version>" and a line end to std::cout.
void PrintVersion();

}  // namespace Ornix::HardwareAPI
