#include "PendingOutput.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

// Pieces gathered into one write; within every system's IOV_MAX.
constexpr std::size_t kGathered = 64;

}  // namespace

void PendingOutput::Add(const std::uint8_t* data, std::size_t size, Clock::time_point when,
                        bool droppable) {
    if (size == 0) {
        return;
    }
    pieces_.push_back({std::vector<std::uint8_t>(data, data + size), 0, when, droppable});
    size_ += size;
    if (droppable) {
        droppable_size_ += size;
    }
}

bool PendingOutput::WriteTo(int fd, const Written& written) {
    while (!pieces_.empty()) {
        iovec parts[kGathered];
        const std::size_t count = std::min(kGathered, pieces_.size());
        std::size_t offered = 0;
        for (std::size_t i = 0; i < count; ++i) {
            Piece& piece = pieces_[i];
            parts[i].iov_base = piece.bytes.data() + piece.sent;
            parts[i].iov_len = piece.bytes.size() - piece.sent;
            offered += parts[i].iov_len;
        }
        const ssize_t result = ::writev(fd, parts, static_cast<int>(count));
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        auto left = static_cast<std::size_t>(result);
        while (left > 0) {
            Piece& piece = pieces_.front();
            const std::size_t taken = std::min(left, piece.bytes.size() - piece.sent);
            if (written) {
                written(piece.bytes.data() + piece.sent, taken, piece.when);
            }
            piece.sent += taken;
            left -= taken;
            size_ -= taken;
            if (piece.droppable) {
                droppable_size_ -= taken;
            }
            if (piece.sent == piece.bytes.size()) {
                pieces_.pop_front();
            }
        }
        if (static_cast<std::size_t>(result) < offered) {
            // Full for now: the caller waits until select finds room.
            return true;
        }
    }
    return true;
}

void PendingOutput::DropOldest(std::size_t limit) {
    for (auto piece = pieces_.begin(); droppable_size_ > limit && piece != pieces_.end();) {
        if (!piece->droppable || piece->sent > 0) {
            ++piece;
            continue;
        }
        droppable_size_ -= piece->bytes.size();
        size_ -= piece->bytes.size();
        piece = pieces_.erase(piece);
    }
}
