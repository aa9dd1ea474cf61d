#include "file_io.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <random>
#include <vector>

namespace kxio {

namespace {

const std::size_t kCopyChunk = 1 << 20;

// copy_file_range through syscall(): older C libraries on the box lack the
// wrapper, while the kernel may still have the call.
long copy_file_range_syscall(int in, loff_t *in_off, int out, std::size_t len) {
#ifdef SYS_copy_file_range
    return syscall(SYS_copy_file_range, in, in_off, out, nullptr, len, 0u);
#else
    (void)in; (void)in_off; (void)out; (void)len;
    errno = ENOSYS;
    return -1;
#endif
}

// Errors that mean "this way of copying is not available here", not failure.
bool unsupported(int err) {
    return err == ENOSYS || err == EXDEV || err == EINVAL || err == EOPNOTSUPP ||
           err == EBADF || err == ETXTBSY || err == EPERM;
}

}  // namespace

int Fd::close() {
    if (fd_ < 0) return 0;
    int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0 ? 0 : errno;
}

int open_read(const std::string &path, Fd &out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return EISDIR;
    }
    out.reset(fd);
    return 0;
}

int open_seekable(const std::string &path, Fd &out) {
    if (int err = open_read(path, out)) return err;
    struct stat st;
    if (fstat(out.get(), &st) != 0) return errno;
    if (S_ISREG(st.st_mode)) return 0;
    const char *dir = "/tmp";
    int fd = ::open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::string name = std::string(dir) + "/.kx-spool-XXXXXX";
        std::vector<char> buffer(name.begin(), name.end());
        buffer.push_back('\0');
        fd = mkostemp(buffer.data(), O_CLOEXEC);
        if (fd < 0) return errno;
        ::unlink(buffer.data());
    }
    Fd spool(fd);
    std::vector<char> chunk(kCopyChunk);
    for (;;) {
        ssize_t n = ::read(out.get(), chunk.data(), chunk.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) break;
        if (int err = write_all(spool.get(), chunk.data(), static_cast<std::size_t>(n))) return err;
    }
    out.reset(spool.release());
    return 0;
}

int create_exclusive(const std::string &path, Fd &out) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    out.reset(fd);
    return 0;
}

int create_temp_beside(const std::string &target, Fd &out, std::string &temp_path) {
    std::string::size_type slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    base = base.substr(0, 64);  // the name must stay within the file-name limit
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = dir + "." + base + ".";
        for (int i = 0; i < 8; ++i) name += digits[random() % 36];
        // 0666 as open() uses, so the umask shapes the new file's mode.
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return errno;
        }
        temp_path = name;
        out.reset(fd);
        return 0;
    }
    return EEXIST;
}

int file_size(int fd, std::uint64_t &size) {
    struct stat st;
    if (fstat(fd, &st) != 0) return errno;
    size = static_cast<std::uint64_t>(st.st_size);
    return 0;
}

int read_all(int fd, std::string &out) {
    std::uint64_t hint = 0;
    file_size(fd, hint);
    out.clear();
    out.reserve(static_cast<std::size_t>(hint) + 1);
    char buffer[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return 0;
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

int read_at(int fd, std::uint64_t offset, std::uint64_t count, std::string &out) {
    out.clear();
    std::uint64_t size = 0;
    if (int err = file_size(fd, size)) return err;
    // Never trust a length field for the allocation: at most what the file holds.
    std::uint64_t available = offset < size ? size - offset : 0;
    out.resize(static_cast<std::size_t>(std::min(count, available)));
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::pread(fd, &out[done], out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    out.resize(done);
    return 0;
}

int write_all(int fd, const char *data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

int write_spaces(int fd, std::size_t count) {
    const std::string spaces(count, ' ');
    return write_all(fd, spaces.data(), spaces.size());
}

int copy_range(int in, std::uint64_t offset, int out, std::uint64_t count) {
    loff_t pos = static_cast<loff_t>(offset);
    std::uint64_t left = count;

    while (left > 0) {
        long n = copy_file_range_syscall(in, &pos, out, static_cast<std::size_t>(std::min<std::uint64_t>(left, 1u << 30)));
        if (n < 0) {
            if (errno == EINTR) continue;
            if (unsupported(errno)) break;
            return errno;
        }
        if (n == 0) return EIO;
        left -= static_cast<std::uint64_t>(n);
    }
    while (left > 0) {
        off_t spos = static_cast<off_t>(pos);
        ssize_t n = sendfile(out, in, &spos, static_cast<std::size_t>(std::min<std::uint64_t>(left, 1u << 30)));
        if (n < 0) {
            if (errno == EINTR) continue;
            if (unsupported(errno)) break;
            return errno;
        }
        pos = spos;
        if (n == 0) return EIO;
        left -= static_cast<std::uint64_t>(n);
    }
    std::vector<char> buffer(left > 0 ? kCopyChunk : 0);
    while (left > 0) {
        ssize_t n = ::pread(in, buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, kCopyChunk)), pos);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        if (int err = write_all(out, buffer.data(), static_cast<std::size_t>(n))) return err;
        pos += n;
        left -= static_cast<std::uint64_t>(n);
    }
    return 0;
}

std::string write_target(const std::string &path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char *resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return path;  // a dangling link: let the rename replace it
    std::string target(resolved);
    std::free(resolved);
    return target;
}

int check_writable(const std::string &path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return 0;  // a new file: the directory decides
    if (S_ISDIR(st.st_mode)) return EISDIR;
    return ::access(path.c_str(), W_OK) == 0 ? 0 : errno;
}

int keep_mode_of(const std::string &path, int fd) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    return fchmod(fd, st.st_mode & 07777) == 0 ? 0 : errno;
}

}  // namespace kxio
