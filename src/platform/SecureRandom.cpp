#include "SecureRandom.h"

#include <sys/random.h>

#include <cerrno>

namespace SecureRandom {

void fill(std::span<std::byte> buffer)
{
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t got = getrandom(buffer.data() + done, buffer.size() - done, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        done += static_cast<std::size_t>(got);
    }
}

} // namespace SecureRandom
