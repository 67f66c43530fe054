#include "SystemError.h"

#include <cerrno>

std::system_error SystemError(const std::string& what) {
    return std::system_error(errno, std::generic_category(), what);
}
