#include "Version.h"

#include <iostream>

namespace Ornix::HardwareAPI {

namespace {
constexpr const char* kVersion = "0.1.7";
}

const char* GetVersion() { return kVersion; }

void PrintVersion() { std::cout << "Library version: " << kVersion << std::endl; }

}  // namespace Ornix::HardwareAPI
