#pragma once

#include <string>

// A symbolic link made for the life of the object, so that hosts can find a port under a name
// of their choosing; it refuses to replace anything that is already there.
class SymbolicLink {
public:
    SymbolicLink(std::string path, std::string target);
    SymbolicLink(const SymbolicLink&) = delete;
    SymbolicLink& operator=(const SymbolicLink&) = delete;
    ~SymbolicLink();

private:
    std::string path_;
    std::string target_;
};
