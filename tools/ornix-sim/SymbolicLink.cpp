#include "SymbolicLink.h"

#include <unistd.h>

#include <utility>
#include <vector>

#include "SystemError.h"

SymbolicLink::SymbolicLink(std::string path, std::string target)
    : path_(std::move(path)), target_(std::move(target)) {
    if (::symlink(target_.c_str(), path_.c_str()) != 0) {
        throw SystemError("cannot create link " + path_);
    }
}

SymbolicLink::~SymbolicLink() {
    // Someone may have put a file of their own in its place meanwhile; that one stays.
    std::vector<char> pointee(target_.size() + 1);
    const ssize_t length = ::readlink(path_.c_str(), pointee.data(), pointee.size());
    if (length >= 0 && std::string(pointee.data(), static_cast<std::size_t>(length)) == target_) {
        ::unlink(path_.c_str());
    }
}
