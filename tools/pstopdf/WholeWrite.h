#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

// Writes all of data to fd, through interruptions and short writes; false
// when fd takes no more.
inline bool WriteWhole(int fd, const char* data, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}
