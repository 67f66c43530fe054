#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "FileDescriptor.h"

// One pseudo-terminal pair: the device side holds the master, hosts open the slave path as
// they would a serial port. The master is non-blocking: its owner writes to MasterFd() through
// a PendingOutput, which waits for the room the host's input queue makes as the host reads.
class PseudoTerminal {
public:
    PseudoTerminal();

    const std::string& SlavePath() const { return slave_path_; }
    int MasterFd() const { return master_.Get(); }

    // Reads what the host has written: 0 when nothing is waiting, nothing when the line failed.
    std::optional<std::size_t> Read(std::uint8_t* buffer, std::size_t capacity);
    // Bytes written that the host has not read yet.
    std::size_t Unread() const;
    // Closes both sides, so that the host sees the line go dead; what it has not read is lost.
    void HangUp();

private:
    FileDescriptor master_;
    // Held open so that the master keeps reading normally while no host has the port open.
    FileDescriptor slave_;
    std::string slave_path_;
};
