#include "Version.h"

#include <iostream>

namespace Ornix::HardwareAPI {

namespace {
constexpr const char* kVersion = ORNIX_VERSION;
}

const char* GetVersion() { return kVersion; }

void PrintVersion() { std::cout << "Library version: " << kVersion << std::endl; }

}  // namespace Ornix::HardwareAPI
