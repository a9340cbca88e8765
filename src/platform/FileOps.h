#pragma once

#include <cstddef>
#include <sys/types.h>

namespace norva {

// The system calls through which ProfileFile reads a file and puts a new one in its place.
// This base class makes them directly; a test derives from it to make one of them fail
// part-way (a short write followed by a full disk, a failing fsync, a read error), which no
// real file system does on demand.
//
// Each call behaves as the system call of the same name: -1 with errno set on failure.
class FileOps {
public:
    virtual ~FileOps() = default;

    virtual ssize_t read(int fd, void* buffer, std::size_t size);
    virtual ssize_t write(int fd, const void* data, std::size_t size);
    virtual int fsync(int fd);
    virtual int rename(const char* from, const char* to);
};

} // namespace norva
