#include "platform/FileOps.h"

#include <cstdio>
#include <unistd.h>

namespace norva {

ssize_t FileOps::read(int fd, void* buffer, std::size_t size) {
    return ::read(fd, buffer, size);
}

ssize_t FileOps::write(int fd, const void* data, std::size_t size) {
    return ::write(fd, data, size);
}

int FileOps::fsync(int fd) {
    return ::fsync(fd);
}

int FileOps::rename(const char* from, const char* to) {
    return ::rename(from, to);
}

} // namespace norva
