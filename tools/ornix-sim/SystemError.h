#pragma once

#include <string>
#include <system_error>

// Builds the exception for a failed system call from errno, so that its text reads
// "<what>: <reason>".
std::system_error SystemError(const std::string& what);
