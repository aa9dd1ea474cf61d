// usbcam_reset: resets every USB device with a given vendor and product ID,
// the way a camera that came back from a power cycle in a bad state is
// brought to enumerate afresh.  The camera modules run it as
//
//   usbcam_reset -v 0x1ab2 -p  0xcd34 --reset-usb --verbose
//
// and "0x" may as well stand as a word of its own ("-v 0x 1ab2") or be left
// out ("-v 1ab2").  Devices are found through sysfs (bus/usb/devices/*/idVendor,
// idProduct, busnum, devnum) and reset with USBDEVFS_RESET on their usbfs node
// dev/bus/usb/BBB/DDD.  Both roots can be moved (--sysfs-root, --devfs-root or
// USBCAM_RESET_SYSFS_ROOT, USBCAM_RESET_DEVFS_ROOT) to run it on a test tree.
//
// Exit status: 0 every matching device was reset, 1 a reset was refused or a
// device could not be read, 2 wrong arguments, 3 no device matched.

#include <dirent.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char *const kProgram = "usbcam_reset";

enum ExitStatus { kResetDone = 0, kResetFailed = 1, kUsageError = 2, kNoDevice = 3 };

const char *const kUsage =
    "usage: usbcam_reset -v 0x VENDOR -p 0x PRODUCT --reset-usb [--verbose]\n"
    "                    [--sysfs-root DIR] [--devfs-root DIR]\n"
    "  VENDOR, PRODUCT  USB IDs, 1 to 4 hexadecimal digits; \"0x\" may be joined\n"
    "                   to the digits, stand as a word of its own, or be left out\n"
    "  --reset-usb      reset every device with these IDs (required)\n"
    "  --verbose        report each device found and reset\n"
    "  --sysfs-root DIR sysfs mount point (default /sys, or $USBCAM_RESET_SYSFS_ROOT)\n"
    "  --devfs-root DIR devfs mount point (default /dev, or $USBCAM_RESET_DEVFS_ROOT)\n";

struct Options {
    int vendor = -1;
    int product = -1;
    bool reset = false;
    bool verbose = false;
    bool help = false;
    std::string sysfs_root;
    std::string devfs_root;
};

struct UsageError {
    std::string message;
};

struct Device {
    std::string name;  // the sysfs entry, e.g. "1-1.2"
    int bus = 0;
    int dev = 0;
};

std::string hex4(int id) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(id));
    return text;
}

std::string ids_text(const Options &o) { return hex4(o.vendor) + ":" + hex4(o.product); }

// 1 to 4 hexadecimal digits, any case; -1 when `digits` is not that.
int parse_hex_id(const std::string &digits) {
    if (digits.empty() || digits.size() > 4) return -1;
    int value = 0;
    for (char c : digits) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

bool is_hex_prefix(const std::string &word) { return word == "0x" || word == "0X"; }

// The ID after `option`, starting at argv[i]; advances i past what it used.
int take_id(int argc, char **argv, int &i, const char *option, const char *what) {
    if (i >= argc)
        throw UsageError{std::string(option) + " needs the " + what + " ID, e.g. " + option +
                         " 0x1ab2"};
    std::string word = argv[i++];
    std::string digits;
    if (is_hex_prefix(word)) {
        if (i >= argc)
            throw UsageError{std::string(option) + " 0x needs the " + what +
                             " ID's hexadecimal digits after it"};
        digits = argv[i++];
    } else if (word.size() > 2 && is_hex_prefix(word.substr(0, 2))) {
        digits = word.substr(2);
    } else {
        digits = word;
    }
    int id = parse_hex_id(digits);
    if (id < 0)
        throw UsageError{std::string("bad ") + what + " ID \"" + digits +
                         "\": expected 1 to 4 hexadecimal digits"};
    return id;
}

// "--name DIR" or "--name=DIR"; false when argv[i] is not this option.
bool take_dir(int argc, char **argv, int &i, const char *name, std::string &dir) {
    const std::string word = argv[i];
    const std::string joined = std::string(name) + "=";
    if (word.compare(0, joined.size(), joined) == 0) {
        dir = word.substr(joined.size());
    } else if (word == name) {
        if (i + 1 >= argc) throw UsageError{std::string(name) + " needs a directory"};
        dir = argv[++i];
    } else {
        return false;
    }
    if (dir.empty()) throw UsageError{std::string(name) + " needs a directory"};
    ++i;
    return true;
}

std::string env_or(const char *name, const char *fallback) {
    const char *value = std::getenv(name);
    return value && *value ? value : fallback;
}

Options parse_options(int argc, char **argv) {
    Options o;
    o.sysfs_root = env_or("USBCAM_RESET_SYSFS_ROOT", "/sys");
    o.devfs_root = env_or("USBCAM_RESET_DEVFS_ROOT", "/dev");
    int i = 1;
    while (i < argc) {
        const std::string word = argv[i];
        if (word == "-h" || word == "--help") {
            o.help = true;
            return o;
        }
        if (word == "-v") {
            ++i;
            o.vendor = take_id(argc, argv, i, "-v", "vendor");
        } else if (word == "-p") {
            ++i;
            o.product = take_id(argc, argv, i, "-p", "product");
        } else if (word == "--reset-usb") {
            o.reset = true;
            ++i;
        } else if (word == "--verbose") {
            o.verbose = true;
            ++i;
        } else if (!take_dir(argc, argv, i, "--sysfs-root", o.sysfs_root) &&
                   !take_dir(argc, argv, i, "--devfs-root", o.devfs_root)) {
            throw UsageError{"unknown argument \"" + word + "\""};
        }
    }
    if (o.vendor < 0) throw UsageError{"the vendor ID is missing (-v 0x VENDOR)"};
    if (o.product < 0) throw UsageError{"the product ID is missing (-p 0x PRODUCT)"};
    if (!o.reset) throw UsageError{"nothing to do: --reset-usb is missing"};
    return o;
}

// The text of a small sysfs attribute, surrounding white space removed.
// Returns 0 or the errno of the failure.
int read_attribute(const std::string &path, std::string &text) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    char buffer[64];
    ssize_t n;
    do {
        n = ::read(fd, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    int err = n < 0 ? errno : 0;
    ::close(fd);
    if (err) return err;
    text.assign(buffer, static_cast<std::size_t>(n));
    const char *blanks = " \t\r\n";
    std::size_t first = text.find_first_not_of(blanks);
    std::size_t last = text.find_last_not_of(blanks);
    text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    return 0;
}

// busnum and devnum are decimal, 1 to 255 on any real bus.
bool parse_number(const std::string &text, int &value) {
    if (text.empty() || text.size() > 3) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

bool has_ids(const std::string &dir, int vendor, int product) {
    std::string text;
    // Interfaces and other entries carry no IDs; they are never a match.
    if (read_attribute(dir + "/idVendor", text) != 0 || parse_hex_id(text) != vendor) return false;
    return read_attribute(dir + "/idProduct", text) == 0 && parse_hex_id(text) == product;
}

// Bus and device number of a matching entry; false (with a message) when
// they cannot be read, which counts as a failed reset.
bool locate(const std::string &dir, Device &device) {
    const char *names[] = {"busnum", "devnum"};
    int *values[] = {&device.bus, &device.dev};
    for (int k = 0; k < 2; ++k) {
        const std::string path = dir + "/" + names[k];
        std::string text;
        int err = read_attribute(path, text);
        if (err != 0) {
            std::fprintf(stderr, "%s: cannot read %s: %s\n", kProgram, path.c_str(),
                         std::strerror(err));
            return false;
        }
        if (!parse_number(text, *values[k])) {
            std::fprintf(stderr, "%s: %s holds \"%s\", not a number\n", kProgram, path.c_str(),
                         text.c_str());
            return false;
        }
    }
    return true;
}

std::string node_path(const Options &o, const Device &d) {
    char tail[32];
    std::snprintf(tail, sizeof tail, "/bus/usb/%03d/%03d", d.bus, d.dev);
    return o.devfs_root + tail;
}

bool reset_device(const Options &o, const Device &d) {
    const std::string node = node_path(o, d);
    if (o.verbose) std::printf("%s: resetting %s (%s)\n", kProgram, node.c_str(), d.name.c_str());
    const char *step = "cannot open";
    int err = 0;
    int fd = ::open(node.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
    } else {
        step = "USBDEVFS_RESET failed on";
        if (::ioctl(fd, USBDEVFS_RESET, 0) < 0) err = errno;
        ::close(fd);
    }
    if (err != 0) {
        std::fprintf(stderr, "%s: reset refused for %s (%s): %s %s: %s\n", kProgram,
                     ids_text(o).c_str(), d.name.c_str(), step, node.c_str(), std::strerror(err));
        return false;
    }
    if (o.verbose) std::printf("%s: reset done: %s\n", kProgram, node.c_str());
    return true;
}

int run(const Options &o) {
    const std::string devices_dir = o.sysfs_root + "/bus/usb/devices";
    DIR *dir = ::opendir(devices_dir.c_str());
    if (!dir) {
        std::fprintf(stderr, "%s: cannot list USB devices in %s: %s\n", kProgram,
                     devices_dir.c_str(), std::strerror(errno));
        return kResetFailed;
    }
    std::vector<std::string> matches;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        if (has_ids(devices_dir + "/" + entry->d_name, o.vendor, o.product))
            matches.push_back(entry->d_name);
    }
    ::closedir(dir);

    if (matches.empty()) {
        std::fprintf(stderr, "%s: no USB device %s found in %s\n", kProgram, ids_text(o).c_str(),
                     devices_dir.c_str());
        return kNoDevice;
    }

    bool all_done = true;
    std::vector<Device> devices;
    for (const std::string &name : matches) {
        Device device;
        device.name = name;
        if (locate(devices_dir + "/" + name, device))
            devices.push_back(device);
        else
            all_done = false;
    }
    std::sort(devices.begin(), devices.end(), [](const Device &a, const Device &b) {
        return a.bus != b.bus ? a.bus < b.bus : a.dev < b.dev;
    });
    if (o.verbose)
        for (const Device &d : devices)
            std::printf("%s: found %s as %s on bus %03d device %03d\n", kProgram,
                        ids_text(o).c_str(), d.name.c_str(), d.bus, d.dev);

    int done = 0;
    for (const Device &d : devices)
        if (reset_device(o, d))
            ++done;
        else
            all_done = false;
    if (o.verbose)
        std::printf("%s: %d of %zu devices %s reset\n", kProgram, done, matches.size(),
                    ids_text(o).c_str());
    return all_done ? kResetDone : kResetFailed;
}

}  // namespace

int main(int argc, char **argv) {
    // Keeps the report in order with the error lines when both go to one file.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    try {
        options = parse_options(argc, argv);
    } catch (const UsageError &e) {
        std::fprintf(stderr, "%s: %s\n%s", kProgram, e.message.c_str(), kUsage);
        return kUsageError;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return kResetDone;
    }
    return run(options);
}
