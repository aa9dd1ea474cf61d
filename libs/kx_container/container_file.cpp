// File layout, in order: version (1 byte), version_rev (1 byte), then the
// configuration, weights and names sections, each behind a 4-byte length in
// the machine's byte order, and for version 0x11 the description section the
// same way.  The weights are the bulk of a container and only their first
// `firstBytes` bytes pass through the cipher, so they are streamed file to
// file through the kernel; nothing else here is larger than a few kilobytes.

#include "container_file.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "file_io.h"
#include "pyglue/module_globals.h"
#include "pyglue/os_error.h"
#include "pyglue/plain_class.h"
#include "pyglue/python_ops.h"
#include "section_cipher.h"

namespace kx_container {

namespace py = pybind11;
using pyglue::check_os;
using pyglue::global;

namespace {

const char kDescribedVersion = 0x11;

// sys.byteorder, as int.to_bytes and int.from_bytes take it.
bool little_endian_machine() {
    py::object order = global("sys").attr("byteorder");
    if (py::str("little").equal(order)) return true;
    if (py::str("big").equal(order)) return false;
    throw py::value_error("byteorder must be either 'little' or 'big'");
}

std::string length_field(std::uint64_t length, bool little) {
    if (length > 0xFFFFFFFFull) {
        PyErr_SetString(PyExc_OverflowError, "int too big to convert");
        throw py::error_already_set();
    }
    std::string field(4, '\0');
    for (int i = 0; i < 4; ++i)
        field[little ? i : 3 - i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    return field;
}

// int.from_bytes of what was read: a short read at the end of a damaged file
// gives fewer than four bytes, which still make a (small) number.
std::uint64_t length_value(const std::string &field, bool little) {
    std::uint64_t value = 0;
    const std::size_t n = field.size();
    for (std::size_t i = 0; i < n; ++i) {
        auto byte = static_cast<unsigned char>(field[little ? n - 1 - i : i]);
        value = (value << 8) | byte;
    }
    return value;
}

bool is_described(const std::string &version) {
    return version.size() == 1 && version[0] == kDescribedVersion;
}

// The weights section as a plan: `head` is the padded start up to the split,
// already enciphered; the rest is `tail_size` bytes of the source from
// `tail_offset` on, then `tail_spaces` pad spaces.
struct WeightsPlan {
    std::uint64_t section_size = 0;
    std::string head;
    std::uint64_t tail_offset = 0;
    std::uint64_t tail_size = 0;
    std::uint64_t tail_spaces = 0;
};

WeightsPlan plan_weights(py::handle self, int fd, py::handle path) {
    WeightsPlan plan;
    std::uint64_t size = 0;
    int err = kxio::file_size(fd, size);
    check_os(err, path);
    plan.section_size = padded_size(size);
    const std::uint64_t split = split_point(self, plan.section_size);
    {
        py::gil_scoped_release unlocked;
        err = kxio::read_at(fd, 0, std::min(split, size), plan.head);
    }
    check_os(err, path);
    plan.head.resize(static_cast<std::size_t>(split), ' ');
    py::object cipher = new_cipher(self);
    plan.head = std::string(apply_cipher(cipher, "encrypt", plan.head.data(), plan.head.size()));
    plan.tail_offset = split;
    plan.tail_size = split < size ? size - split : 0;
    plan.tail_spaces = plan.section_size - std::max(split, size);
    return plan;
}

// The second item of what `self.encrypt(...)` or `self.encrypt_json(...)` returned.
std::string section_of(py::object encrypted) { return bytes_of(encrypted[py::int_(1)]); }

// Removes the temporary file unless the rename took it over.
struct TempFileGuard {
    std::string path;
    bool armed = false;
    ~TempFileGuard() {
        if (armed) ::unlink(path.c_str());
    }
};

void createContainer(py::object self, py::object cfg_path, py::object weight_path,
                     py::object names_path, py::object c_path, py::object json_content) {
    pyglue::print("creating container...");
    self.attr("cfg_path") = cfg_path;
    self.attr("weight_path") = weight_path;
    self.attr("names_path") = names_path;

    // Everything that can fail on content is done before c_path is touched.
    const std::string version = bytes_of(self.attr("version"));
    const std::string version_rev = bytes_of(self.attr("version_rev"));
    const bool little = little_endian_machine();

    const std::string cfg = section_of(self.attr("encrypt")(self.attr("cfg_path")));

    // The weights are the bulk of the container: only their head goes through
    // the cipher here, the rest is copied file to file below.
    py::object weights_path_attr = self.attr("weight_path");
    const std::string weights_path = fs_path(weights_path_attr);
    kxio::Fd weights;
    int err;
    {
        py::gil_scoped_release unlocked;
        err = kxio::open_seekable(weights_path, weights);
    }
    check_os(err, weights_path_attr);
    const WeightsPlan plan = plan_weights(self, weights.get(), weights_path_attr);

    const std::string names = section_of(self.attr("encrypt")(self.attr("names_path")));

    std::string description;
    if (is_described(version)) {
        // JSON text, so every JSON value round-trips; a mapping JSON cannot
        // hold fails here, before anything is written.
        py::object text = global("json").attr("dumps")(json_content);
        description = section_of(self.attr("encrypt_json")(text));
    }

    const std::string cfg_length = length_field(cfg.size(), little);
    const std::string weight_length = length_field(plan.section_size, little);
    const std::string names_length = length_field(names.size(), little);
    const std::string json_length = length_field(description.size(), little);

    // A temporary file beside c_path, renamed over it at the end: a failure
    // leaves an earlier container as it was, and c_path may be an input.
    const std::string target = kxio::write_target(fs_path(c_path));
    TempFileGuard temp;
    kxio::Fd out;
    {
        py::gil_scoped_release unlocked;
        // A container that may not be written is refused, as open() would.
        err = kxio::check_writable(target);
        if (!err) err = kxio::create_temp_beside(target, out, temp.path);
        temp.armed = !err;
        if (!err) err = kxio::keep_mode_of(target, out.get());
        const std::string *head[] = {&version, &version_rev, &cfg_length, &cfg, &weight_length, &plan.head};
        for (const std::string *piece : head)
            if (!err) err = kxio::write_all(out.get(), piece->data(), piece->size());
        if (!err) err = kxio::copy_range(weights.get(), plan.tail_offset, out.get(), plan.tail_size);
        if (!err) err = kxio::write_spaces(out.get(), static_cast<std::size_t>(plan.tail_spaces));
        const std::string *rest[] = {&names_length, &names};
        for (const std::string *piece : rest)
            if (!err) err = kxio::write_all(out.get(), piece->data(), piece->size());
        if (!err && is_described(version)) {
            err = kxio::write_all(out.get(), json_length.data(), json_length.size());
            if (!err) err = kxio::write_all(out.get(), description.data(), description.size());
        }
        if (!err) err = out.close();
        if (!err && ::rename(temp.path.c_str(), target.c_str()) != 0) err = errno;
        if (!err) temp.armed = false;
    }
    check_os(err, c_path);
    pyglue::print("done.");
}

// Reads the container's fields in order, each through a read that stops at
// the end of the file, as a plain read() does.
class FieldReader {
public:
    FieldReader(int fd, py::handle path) : fd_(fd), path_(path) {}

    std::string take(std::uint64_t count) {
        std::string data = read(offset_, count);
        offset_ += data.size();
        return data;
    }
    // Up to `count` bytes from `offset`, leaving the reading position alone.
    std::string read(std::uint64_t offset, std::uint64_t count) {
        std::string data;
        int err;
        {
            py::gil_scoped_release unlocked;
            err = kxio::read_at(fd_, offset, count, data);
        }
        check_os(err, path_);
        return data;
    }
    // Skips up to `count` bytes, returning how many the file still held.
    std::uint64_t skip(std::uint64_t count) {
        std::uint64_t size = 0;
        check_os(kxio::file_size(fd_, size), path_);
        std::uint64_t available = offset_ < size ? std::min(count, size - offset_) : 0;
        offset_ += available;
        return available;
    }
    std::uint64_t offset() const { return offset_; }

private:
    int fd_;
    py::handle path_;
    std::uint64_t offset_ = 0;
};

std::string decipher(py::handle cipher, const std::string &data) {
    return std::string(apply_cipher(cipher, "decrypt", data.data(), data.size()));
}

// bytes.decode("utf-8"): the interpreter's own UnicodeDecodeError on bad input.
py::object decode_utf8(const std::string &data) {
    return pyglue::checked(PyUnicode_DecodeUTF8(data.data(), static_cast<Py_ssize_t>(data.size()), "strict"));
}

void write_new_file(const std::string &path, py::handle name, const std::string &data,
                    int copy_from = -1, std::uint64_t copy_offset = 0, std::uint64_t copy_size = 0) {
    int err;
    {
        py::gil_scoped_release unlocked;
        // Deciphered model in a shared directory: a new file of our own, never
        // one that someone placed (or linked) there before.
        kxio::Fd out;
        err = kxio::create_exclusive(path, out);
        if (!err) err = kxio::write_all(out.get(), data.data(), data.size());
        if (!err && copy_size) err = kxio::copy_range(copy_from, copy_offset, out.get(), copy_size);
        int close_err = out.close();
        if (!err) err = close_err;
    }
    check_os(err, name);
}

void extractContainer(py::object self, py::object c_path) {
    pyglue::print("MORVANEL TRT-DQX-MODEL LOADING");
    py::object os = global("os");
    py::object stamp = py::str(global("time").attr("time")());
    py::object join = os.attr("path").attr("join");
    py::object tmp_cfg = join("/tmp", stamp + py::str("cache1"));
    py::object tmp_weight = join("/tmp", stamp + py::str("cachedisk1"));
    py::object tmp_names = join("/tmp", stamp + py::str("cachemem1"));
    self.attr("tmp_cfg") = tmp_cfg;
    self.attr("tmp_weight") = tmp_weight;
    self.attr("tmp_names") = tmp_names;

    const std::string container_path = fs_path(c_path);
    kxio::Fd container;
    int err;
    {
        py::gil_scoped_release unlocked;
        err = kxio::open_seekable(container_path, container);
    }
    check_os(err, c_path);
    FieldReader reader(container.get(), c_path);
    const bool little = little_endian_machine();

    // Every section is read, deciphered and checked before any file is
    // written, so a damaged container leaves nothing behind.
    py::object cipher = new_cipher(self);
    const std::string version = reader.take(1);
    reader.take(1);  // version_rev: not used
    const std::string cfg = decipher(cipher, reader.take(length_value(reader.take(4), little)));

    cipher = new_cipher(self);
    const std::uint64_t weight_length = length_value(reader.take(4), little);
    const std::uint64_t weights_start = reader.offset();
    const std::uint64_t weights_held = reader.skip(weight_length);
    const std::uint64_t split = split_point(self, weights_held);
    const std::string weights_head = decipher(cipher, reader.read(weights_start, split));

    cipher = new_cipher(self);
    const std::string names = decipher(cipher, reader.take(length_value(reader.take(4), little)));
    decode_utf8(names);

    if (is_described(version)) {
        cipher = new_cipher(self);
        const std::string text = decipher(cipher, reader.take(length_value(reader.take(4), little)));
        py::object meta = global("json").attr("loads")(decode_utf8(text));
        pyglue::print(meta);
        pyglue::print(py::str("META-INFORMATION:") + py::str(meta));
        self.attr("meta") = meta;
    }

    write_new_file(fs_path(tmp_cfg), tmp_cfg, cfg);
    write_new_file(fs_path(tmp_weight), tmp_weight, weights_head, container.get(),
                   weights_start + split, weights_held - split);
    // The names were checked as UTF-8 above; their bytes are the UTF-8 text.
    write_new_file(fs_path(tmp_names), tmp_names, names);
    pyglue::print("done.");
}

void cleanup(py::object self) {
    py::object os = global("os");
    for (const char *name : {"tmp_cfg", "tmp_weight", "tmp_names"}) {
        py::object path = self.attr(name);
        if (pyglue::truth(os.attr("path").attr("exists")(path))) os.attr("remove")(path);
    }
}

}  // namespace

void register_container_file(py::object &cls) {
    pyglue::def_method(cls, "createContainer", &createContainer, py::arg("cfg_path"),
                       py::arg("weight_path"), py::arg("names_path"), py::arg("c_path"),
                       py::arg("json_content") = py::dict());
    pyglue::def_method(cls, "extractContainer", &extractContainer, py::arg("c_path"));
    pyglue::def_method(cls, "cleanup", &cleanup);
}

}  // namespace kx_container
