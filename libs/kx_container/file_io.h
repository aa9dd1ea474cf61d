// Plain POSIX file work for the container, meant to run without the GIL.
// Every function returns 0 or an errno; the caller raises it as OSError once
// it holds the GIL again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kxio {

// An owned file descriptor, closed when it goes out of scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { close(); }
    void reset(int fd) {
        close();
        fd_ = fd;
    }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    bool valid() const { return fd_ >= 0; }
    // Closes now; a write-back failure shows here, so the writer checks it.
    int close();

private:
    int fd_ = -1;
};

int open_read(const std::string &path, Fd &out);
// As open_read, for files read by offset: a pipe or other stream (whose size
// says nothing) is first spooled into an unnamed temporary file.
int open_seekable(const std::string &path, Fd &out);
// Creates `path` new (never follows or reuses an existing name), mode 0600.
int create_exclusive(const std::string &path, Fd &out);
// A fresh temporary file beside `target`, for an atomic replace by rename.
int create_temp_beside(const std::string &target, Fd &out, std::string &temp_path);

int file_size(int fd, std::uint64_t &size);
int read_all(int fd, std::string &out);
// Up to `count` bytes from `offset`; fewer only at the end of the file.
int read_at(int fd, std::uint64_t offset, std::uint64_t count, std::string &out);
int write_all(int fd, const char *data, std::size_t size);
int write_spaces(int fd, std::size_t count);
// Copies `count` bytes from `in` at `offset` to the current position of `out`,
// through the kernel where it can (copy_file_range, then sendfile).  A source
// that ends early is an error (EIO): the size it had when planned is written.
int copy_range(int in, std::uint64_t offset, int out, std::uint64_t count);

// The file that writing to `path` would change: a symbolic link is followed,
// so replacing a linked container replaces its target, not the link.
std::string write_target(const std::string &path);

// EACCES or EISDIR when `path` names a file that may not be written, as open() would say.
int check_writable(const std::string &path);

// Gives `fd` the permissions of the regular file `path` names now, whose
// place it is about to take; nothing when there is none.
int keep_mode_of(const std::string &path, int fd);

}  // namespace kxio
