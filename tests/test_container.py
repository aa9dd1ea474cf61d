import json
import os
import random
import subprocess
import sys
import types

import pytest
from Crypto.Cipher import AES

import libs.kx_container as kxc
from tests import reference_container as ref


@pytest.fixture
def make_file(tmp_path):
    def make(name, data):
        path = tmp_path / name
        path.write_bytes(data)
        return str(path)
    return make


def payload(n, seed=0):
    return random.Random(seed * 7919 + n).getrandbits(8 * n).to_bytes(n, "little") if n else b""


@pytest.fixture
def model(make_file):
    """Configuration, weights and names files of 100, 5000 and 20 bytes."""
    contents = (payload(100, 1), payload(5000, 2), "cat\ndog\nvogel \u20ac\n".encode("utf-8"))
    paths = [make_file(n, c) for n, c in zip(("net.cfg", "net.weights", "net.names"), contents)]
    return types.SimpleNamespace(paths=paths, contents=contents)


@pytest.fixture
def unpacked():
    """Instances whose unpacked files are removed after the test."""
    made = []
    yield made
    for box in made:
        for name in ("tmp_cfg", "tmp_weight", "tmp_names"):
            path = getattr(box, name, None)
            if path and os.path.lexists(path):
                os.remove(path)


def tmp_files(box):
    return [box.tmp_cfg, box.tmp_weight, box.tmp_names]


class FixedClock:
    """Stands in for the module's `time` so the unpacked names are known."""

    def __init__(self, now):
        self.now = now

    def time(self):
        return self.now


# -- construction and sections ---------------------------------------------

def test_instance_attributes_and_class_shape():
    box = kxc.kx_container()
    assert vars(box) == {
        "version": b"\x01", "version_rev": b"\x00", "kx_key": b"KTPLMQZAVWXJRYUO",
        "kx_iv": b"8305719264018453", "firstBytes": 1024, "meta": None}
    assert kxc.kx_container("11").version == b"\x11"
    assert kxc.kx_container.__bases__ == (object,)
    assert kxc.kx_container.__doc__ == "\n    kx_container format\n    "
    methods = [n for n in vars(kxc.kx_container) if not n.startswith("__") or n == "__init__"]
    assert methods == ["__init__", "encrypt", "encrypt_json", "createContainer", "extractContainer", "cleanup"]
    box.firstBytes = 2048  # plain attributes
    box.anything = 1


@pytest.mark.parametrize("version, error", [
    ("0102", ValueError), ("", ValueError), ("zz", ValueError), (1, TypeError), (b"01", TypeError)])
def test_bad_version_text_is_refused(version, error):
    with pytest.raises(error):
        kxc.kx_container(version)


@pytest.mark.parametrize("size", [0, 1, 16, 17, 1000, 1008, 1024, 1025, 5000])
@pytest.mark.parametrize("partial", [None, 1, 0, False])
def test_encrypt_matches_the_format(make_file, size, partial):
    data = payload(size)
    length, section = kxc.kx_container().encrypt(make_file("f", data), firstBytes=partial)
    expected = ref.seal(data, None if partial is None else 1024)
    assert (length, section) == (len(expected), expected)
    assert ref.unseal(section, None if partial is None else 1024) == ref.pad(data)


def test_encrypt_partial_leaves_the_tail_plain(make_file):
    data = payload(5000)
    length, section = kxc.kx_container().encrypt(make_file("f", data), firstBytes=1)
    assert length == 5008
    assert section[1024:] == data[1024:] + b" " * 8
    assert section[:1024] != data[:1024]


def test_encrypt_json_text_bytes_and_non_ascii(make_file):
    box = kxc.kx_container()
    length, section = box.encrypt_json("{}")
    assert length == 16 and ref.unseal(section) == b"{}" + b" " * 14
    data = payload(37)
    assert box.encrypt_json(data) == box.encrypt(make_file("f", data))
    # Padding counts UTF-8 bytes: 15 characters, 16 bytes, one block.
    text = "abcdefghijklmn\u00e9"
    assert box.encrypt_json(text) == (16, ref.seal(text.encode("utf-8")))
    assert box.encrypt_json("x" * 20, firstBytes=1)[0] == 32


def test_encrypt_errors(tmp_path):
    box = kxc.kx_container()
    with pytest.raises(FileNotFoundError) as err:
        box.encrypt(str(tmp_path / "missing"))
    assert err.value.filename == str(tmp_path / "missing") and err.value.errno == 2
    with pytest.raises(IsADirectoryError):
        box.encrypt(str(tmp_path))
    with pytest.raises(TypeError):
        box.encrypt_json(12)
    box.firstBytes = 1000  # not whole blocks: the cipher refuses
    with pytest.raises(ValueError):
        box.encrypt_json(b"x" * 2000, firstBytes=1)


# -- create ----------------------------------------------------------------

def test_strided_buffers_are_refused():
    data = bytearray(range(64))
    with pytest.raises(BufferError):
        kxc.kx_container().encrypt_json(memoryview(data)[::2])


def test_worked_example_layout(model, tmp_path, capsys):
    c_path = str(tmp_path / "model.kx")
    kxc.kx_container().createContainer(*model.paths, c_path)
    assert capsys.readouterr().out == "creating container...\ndone.\n"
    data = open(c_path, "rb").read()
    assert len(data) == 5166
    assert data[:2] == b"\x01\x00"
    assert [int.from_bytes(data[o:o + 4], sys.byteorder) for o in (2, 118, 5130)] == [112, 5008, 32]
    assert data[1146:5130] == model.contents[1][1024:] + b" " * 8
    assert data == ref.container_bytes(*model.contents)


@pytest.mark.parametrize("sizes", [(0, 0, 0), (16, 1024, 17), (1, 1025, 3), (100, 3 * 2**20 + 5, 20)])
@pytest.mark.parametrize("version", ["01", "11"])
def test_created_bytes_equal_the_in_memory_format(make_file, tmp_path, sizes, version):
    contents = [payload(n, i) for i, n in enumerate(sizes)]
    paths = [make_file("in%d" % i, c) for i, c in enumerate(contents)]
    box = kxc.kx_container(version)
    box.createContainer(*paths, str(tmp_path / "c"), {"classes": 3})
    description = {"classes": 3} if version == "11" else None
    assert (tmp_path / "c").read_bytes() == ref.container_bytes(
        *contents, version=bytes.fromhex(version), description=description)
    assert (box.cfg_path, box.weight_path, box.names_path) == tuple(paths)


def test_create_replaces_atomically_and_may_overwrite_an_input(model, tmp_path):
    box = kxc.kx_container()
    box.createContainer(*model.paths, model.paths[2])  # c_path is the names file
    assert open(model.paths[2], "rb").read() == ref.container_bytes(*model.contents)
    assert sorted(os.listdir(tmp_path)) == ["net.cfg", "net.names", "net.weights"]


@pytest.mark.parametrize("failure", ["missing input", "cipher refuses", "not json"])
def test_failed_create_keeps_the_earlier_container(model, tmp_path, failure):
    c_path = tmp_path / "model.kx"
    c_path.write_bytes(b"earlier container")
    box = kxc.kx_container("11")
    paths, description = list(model.paths), {}
    if failure == "missing input":
        paths[1] = str(tmp_path / "gone")
    elif failure == "cipher refuses":
        box.firstBytes = 1000
    else:
        description = {"bad": {1, 2}}
    with pytest.raises((OSError, ValueError, TypeError)):
        box.createContainer(*paths, str(c_path), description)
    assert c_path.read_bytes() == b"earlier container"
    assert sorted(os.listdir(tmp_path)) == ["model.kx", "net.cfg", "net.names", "net.weights"]


def test_write_failure_midway_leaves_no_partial_container(tmp_path):
    """A file-size limit makes the write fail after the first bytes went out."""
    script = r"""
import os, resource, signal, sys
sys.path.insert(0, sys.argv[1])
import libs.kx_container as kxc
d = sys.argv[2]
for name, size in (("cfg", 10), ("w", 200000), ("n", 10)):
    open(os.path.join(d, name), "wb").write(b"x" * size)
open(os.path.join(d, "c"), "wb").write(b"earlier")
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (100000, resource.RLIM_INFINITY))
try:
    kxc.kx_container().createContainer(*[os.path.join(d, n) for n in ("cfg", "w", "n", "c")])
except OSError as e:
    print("errno", e.errno)
"""
    out = subprocess.run([sys.executable, "-c", script, os.getcwd(), str(tmp_path)],
                         capture_output=True, text=True, check=True).stdout
    assert "errno 27" in out  # EFBIG
    assert (tmp_path / "c").read_bytes() == b"earlier"
    assert sorted(os.listdir(tmp_path)) == ["c", "cfg", "n", "w"]


def test_container_written_through_a_symbolic_link(model, tmp_path):
    (tmp_path / "v3.kx").write_bytes(b"old")
    os.symlink("v3.kx", str(tmp_path / "current.kx"))
    kxc.kx_container().createContainer(*model.paths, str(tmp_path / "current.kx"))
    assert os.path.islink(str(tmp_path / "current.kx"))
    assert (tmp_path / "v3.kx").read_bytes() == ref.container_bytes(*model.contents)


def test_container_keeps_the_mode_of_the_file_it_replaces(model, tmp_path):
    c_path = tmp_path / "model.kx"
    c_path.write_bytes(b"")
    os.chmod(c_path, 0o640)
    kxc.kx_container().createContainer(*model.paths, str(c_path))
    assert os.stat(c_path).st_mode & 0o777 == 0o640


# -- extract and cleanup ---------------------------------------------------

def test_round_trip_version_01(model, tmp_path, capsys, unpacked):
    c_path = str(tmp_path / "model.kx")
    box = kxc.kx_container()
    box.createContainer(*model.paths, c_path, {"ignored": True})
    capsys.readouterr()
    unpacked.append(box)
    box.extractContainer(c_path)
    assert capsys.readouterr().out == "MORVANEL TRT-DQX-MODEL LOADING\ndone.\n"
    assert box.meta is None
    for path, content, size in zip(tmp_files(box), model.contents, (112, 5008, 32)):
        data = open(path, "rb").read()
        assert len(data) == size and data == ref.pad(content)
        assert os.stat(path).st_mode & 0o777 == 0o600
    stamp = box.tmp_cfg[len("/tmp/"):-len("cache1")]
    assert tmp_files(box) == ["/tmp/" + stamp + s for s in ("cache1", "cachedisk1", "cachemem1")]
    float(stamp)


@pytest.mark.parametrize("description", [
    {},
    {"name": "yolo", "size": [416, 416], "score": 0.25, "nested": {"a": 1}},
    {"flags": [True, False, None], "quote": "it's \"quoted\"", "text": "Stra\u00dfe \u20ac"},
])
def test_description_round_trips(model, tmp_path, capsys, unpacked, description):
    c_path = str(tmp_path / "model.kx")
    box = kxc.kx_container("11")
    box.createContainer(*model.paths, c_path, description)
    capsys.readouterr()
    unpacked.append(box)
    box.extractContainer(c_path)
    assert box.meta == description
    assert capsys.readouterr().out == "MORVANEL TRT-DQX-MODEL LOADING\n%s\nMETA-INFORMATION:%s\ndone.\n" % (
        description, description)


def test_default_description_and_tuples(model, tmp_path, unpacked):
    box = kxc.kx_container("11")
    box.createContainer(*model.paths, str(tmp_path / "a"))
    data = (tmp_path / "a").read_bytes()
    assert int.from_bytes(data[-20:-16], sys.byteorder) == 16
    assert ref.unseal(data[-16:]) == b"{}" + b" " * 14
    box.createContainer(*model.paths, str(tmp_path / "b"), {"shape": (1, 2)})
    unpacked.append(box)
    box.extractContainer(str(tmp_path / "b"))
    assert box.meta == {"shape": [1, 2]}


def test_meta_survives_a_container_without_description(model, tmp_path, unpacked):
    kxc.kx_container("11").createContainer(*model.paths, str(tmp_path / "d"), {"k": 1})
    kxc.kx_container("01").createContainer(*model.paths, str(tmp_path / "p"))
    box = kxc.kx_container()
    unpacked.append(box)
    box.extractContainer(str(tmp_path / "d"))
    first = tmp_files(box)
    box.extractContainer(str(tmp_path / "p"))
    assert box.meta == {"k": 1}
    box.cleanup()
    assert all(os.path.exists(p) for p in first)
    assert not any(os.path.exists(p) for p in tmp_files(box))
    box.cleanup()  # nothing left: no error
    for p in first:
        os.remove(p)


def test_moved_split_point_round_trips(model, tmp_path, unpacked):
    box = kxc.kx_container()
    box.firstBytes = 2048
    box.createContainer(*model.paths, str(tmp_path / "c"))
    assert (tmp_path / "c").read_bytes() == ref.container_bytes(*model.contents, first_bytes=2048)
    unpacked.append(box)
    box.extractContainer(str(tmp_path / "c"))
    assert open(box.tmp_weight, "rb").read() == ref.pad(model.contents[1])


def test_empty_file_unpacks_to_three_empty_files(tmp_path, unpacked):
    (tmp_path / "empty").write_bytes(b"")
    box = kxc.kx_container()
    unpacked.append(box)
    box.extractContainer(str(tmp_path / "empty"))
    assert [os.path.getsize(p) for p in tmp_files(box)] == [0, 0, 0]


def test_foreign_version_byte_reads_as_plain_container(model, tmp_path, unpacked):
    data = bytearray(ref.container_bytes(*model.contents))
    data[0] = 0x07
    (tmp_path / "c").write_bytes(bytes(data))
    box = kxc.kx_container()
    unpacked.append(box)
    box.extractContainer(str(tmp_path / "c"))
    assert open(box.tmp_names, "rb").read() == ref.pad(model.contents[2])


def test_missing_container(tmp_path):
    box = kxc.kx_container()
    with pytest.raises(FileNotFoundError) as err:
        box.extractContainer(str(tmp_path / "none.kx"))
    assert err.value.filename == str(tmp_path / "none.kx")
    assert not any(os.path.exists(p) for p in tmp_files(box))
    box.cleanup()


def test_cleanup_before_any_extraction():
    with pytest.raises(AttributeError, match="tmp_cfg"):
        kxc.kx_container().cleanup()


def damaged(contents, how):
    data = bytearray(ref.container_bytes(*contents, version=b"\x11", description={"a": 1}))
    names_at = 6 + 112 + 4 + 5008
    if how == "truncated in names":
        return bytes(data[:names_at + 4 + 10])
    if how == "names not utf-8":
        bad = ref.seal(b"\xff\xfe\xfd")
        return bytes(data[:names_at]) + ref.length(len(bad)) + bad
    if how == "ends after names":
        return bytes(data[:names_at + 4 + 32])
    if how == "description not json":
        bad = ref.seal(b"{nope")
        return bytes(data[:names_at + 4 + 32]) + ref.length(len(bad)) + bad
    if how == "length past the end":
        data[2:6] = ref.length(0xFFFFFFF0)
        return bytes(data)


@pytest.mark.parametrize("how, error", [
    ("truncated in names", ValueError), ("names not utf-8", UnicodeDecodeError),
    ("ends after names", json.JSONDecodeError), ("description not json", json.JSONDecodeError),
    ("length past the end", ValueError)])
def test_damaged_container_leaves_no_unpacked_file(model, tmp_path, how, error):
    (tmp_path / "c").write_bytes(damaged(model.contents, how))
    box = kxc.kx_container()
    with pytest.raises(error):
        box.extractContainer(str(tmp_path / "c"))
    assert not any(os.path.lexists(p) for p in tmp_files(box))
    assert box.meta is None


def test_unpacked_files_never_follow_an_existing_name(model, tmp_path, monkeypatch, unpacked):
    kxc.kx_container().createContainer(*model.paths, str(tmp_path / "c"))
    now = 1700000000.0 + random.random()
    monkeypatch.setattr(kxc, "time", FixedClock(now))
    victim = tmp_path / "victim"
    victim.write_bytes(b"keep me")
    planted = "/tmp/%scache1" % now
    os.symlink(str(victim), planted)
    try:
        box = kxc.kx_container()
        with pytest.raises(FileExistsError):
            box.extractContainer(str(tmp_path / "c"))
        assert box.tmp_cfg == planted
    finally:
        os.remove(planted)
    assert victim.read_bytes() == b"keep me"


# -- run-time manners ------------------------------------------------------

def test_module_globals_are_looked_up_at_call_time(model, tmp_path, monkeypatch, unpacked):
    made = []

    class RecordingAES:
        MODE_CBC = AES.MODE_CBC

        @staticmethod
        def new(key, mode, iv):
            made.append((key, iv))
            return AES.new(key, mode, iv)

    dumped = []

    class RecordingJson:
        loads = staticmethod(json.loads)

        @staticmethod
        def dumps(obj):
            dumped.append(obj)
            return json.dumps(obj)

    monkeypatch.setattr(kxc, "AES", RecordingAES)
    monkeypatch.setattr(kxc, "json", RecordingJson)
    box = kxc.kx_container("11")
    box.createContainer(*model.paths, str(tmp_path / "c"), {"x": 1})
    assert len(made) == 4 and dumped == [{"x": 1}]
    unpacked.append(box)
    box.extractContainer(str(tmp_path / "c"))
    assert len(made) == 8

    removed = []
    fake_os = types.SimpleNamespace(path=os.path, remove=lambda p: (removed.append(p), os.remove(p)))
    monkeypatch.setattr(kxc, "os", fake_os)
    box.cleanup()
    assert removed == tmp_files(box)


    lines = []
    monkeypatch.setattr(kxc, "print", lambda *a: lines.append(a), raising=False)
    box.createContainer(*model.paths, str(tmp_path / "c"))
    assert lines == [("creating container...",), ("done.",)]

    monkeypatch.setattr(kxc, "sys", types.SimpleNamespace(byteorder="middle"))
    with pytest.raises(ValueError, match="byteorder"):
        box.createContainer(*model.paths, str(tmp_path / "c"))


# -- damaged containers never crash the interpreter ------------------------

def test_fuzzed_containers_raise_or_unpack(model, tmp_path):
    """Mutated containers either unpack or raise; nothing is left behind on error."""
    rng = random.Random(20261211)
    good = ref.container_bytes(*model.contents, version=b"\x11", description={"n": [1, 2]})
    box = kxc.kx_container()
    c_path = str(tmp_path / "fuzz.kx")
    outcomes = {"unpacked": 0, "raised": 0}
    for _ in range(400):
        data = bytearray(good)
        kind = rng.randrange(5)
        if kind == 0:
            data = data[:rng.randrange(len(data))]
        elif kind == 1:
            for _ in range(rng.randrange(1, 8)):
                data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        elif kind == 2:
            at = rng.choice([2, 118, 5130, 5166])
            data[at:at + 4] = rng.getrandbits(32).to_bytes(4, "little")
        elif kind == 3:
            data = bytearray(rng.getrandbits(8) for _ in range(rng.randrange(64)))
        else:
            data[0] = rng.choice([0x01, 0x11, 0x00, 0xFF])
            data = data[:rng.randrange(len(data))]
        with open(c_path, "wb") as f:
            f.write(bytes(data))
        try:
            box.extractContainer(c_path)
        except (ValueError, OSError):  # UnicodeDecodeError and JSONDecodeError are ValueErrors
            outcomes["raised"] += 1
            assert not any(os.path.lexists(p) for p in tmp_files(box))
        else:
            outcomes["unpacked"] += 1
            box.cleanup()
    assert outcomes["raised"] and outcomes["unpacked"]


# -- the system around the container ---------------------------------------

def test_big_endian_machine_writes_and_reads_big_endian(model, tmp_path, monkeypatch, unpacked):
    monkeypatch.setattr(kxc, "sys", types.SimpleNamespace(byteorder="big"))
    box = kxc.kx_container()
    box.createContainer(*model.paths, str(tmp_path / "c"))
    assert (tmp_path / "c").read_bytes()[2:6] == (112).to_bytes(4, "big")
    unpacked.append(box)
    box.extractContainer(str(tmp_path / "c"))
    assert open(box.tmp_weight, "rb").read() == ref.pad(model.contents[1])


def fifo_fed_by_thread(path, data):
    import threading
    os.mkfifo(path)

    def feed():
        with open(path, "wb") as f:
            f.write(data)
    feeder = threading.Thread(target=feed)
    feeder.start()
    return feeder


def test_streams_are_read_whole(model, tmp_path, unpacked):
    """Pipes have no size: their content is still read in full, on both sides."""
    weights_pipe = str(tmp_path / "weights.pipe")
    feeder = fifo_fed_by_thread(weights_pipe, model.contents[1])
    box = kxc.kx_container()
    box.createContainer(model.paths[0], weights_pipe, model.paths[2], str(tmp_path / "c"))
    feeder.join()
    assert (tmp_path / "c").read_bytes() == ref.container_bytes(*model.contents)

    container_pipe = str(tmp_path / "c.pipe")
    feeder = fifo_fed_by_thread(container_pipe, (tmp_path / "c").read_bytes())
    unpacked.append(box)
    box.extractContainer(container_pipe)  # opening waits for the writer without holding the GIL
    feeder.join()
    assert open(box.tmp_weight, "rb").read() == ref.pad(model.contents[1])


def test_weights_section_of_4_gib_is_refused_before_writing(model, tmp_path):
    huge = tmp_path / "huge.weights"
    with open(str(huge), "wb") as f:
        f.truncate(2**32)  # sparse: no disk used
    (tmp_path / "c").write_bytes(b"earlier")
    with pytest.raises(OverflowError):
        kxc.kx_container().createContainer(model.paths[0], str(huge), model.paths[2], str(tmp_path / "c"))
    assert (tmp_path / "c").read_bytes() == b"earlier"
    assert sorted(os.listdir(tmp_path)) == ["c", "huge.weights", "net.cfg", "net.names", "net.weights"]


@pytest.mark.parametrize("target, error", [("missing/dir/c.kx", FileNotFoundError), ("", IsADirectoryError)])
def test_unwritable_container_path(model, tmp_path, target, error):
    c_path = str(tmp_path / target) if target else str(tmp_path) + "/"
    with pytest.raises(error) as err:
        kxc.kx_container().createContainer(*model.paths, c_path)
    assert err.value.filename == c_path


def test_container_may_replace_its_own_weights_file(model, tmp_path):
    kxc.kx_container().createContainer(*model.paths, model.paths[1])
    assert open(model.paths[1], "rb").read() == ref.container_bytes(*model.contents)


def test_existing_file_at_an_unpacked_name_is_refused(model, tmp_path, monkeypatch):
    kxc.kx_container().createContainer(*model.paths, str(tmp_path / "c"))
    now = 1700000000.0 + random.random()
    monkeypatch.setattr(kxc, "time", FixedClock(now))
    planted = "/tmp/%scachedisk1" % now
    with open(planted, "wb") as f:
        f.write(b"someone else's")
    box = kxc.kx_container()
    try:
        with pytest.raises(FileExistsError):
            box.extractContainer(str(tmp_path / "c"))
        assert open(planted, "rb").read() == b"someone else's"
    finally:
        for path in (planted, box.tmp_cfg):
            if os.path.exists(path):
                os.remove(path)


def run_python(code, *args, env=None):
    return subprocess.run([sys.executable, "-c", code, os.getcwd()] + [str(a) for a in args], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)


def test_names_are_written_as_utf8_whatever_the_locale(model, tmp_path):
    kxc.kx_container().createContainer(*model.paths, str(tmp_path / "c"))
    env = dict(os.environ, LC_ALL="C", LANG="C", PYTHONCOERCECLOCALE="0", PYTHONUTF8="0")
    done = run_python(
        "import sys, locale; sys.path.insert(0, sys.argv[1]); import libs.kx_container as k\n"
        "b = k.kx_container(); b.extractContainer(sys.argv[2])\n"
        "sys.stderr.write(locale.getpreferredencoding() + '|' + open(b.tmp_names, 'rb').read().hex()); b.cleanup()",
        tmp_path / "c", env=env)
    assert done.returncode == 0, done.stderr
    encoding, names = done.stderr.split("|")
    assert encoding.lower() in ("ansi_x3.4-1968", "ascii")
    assert bytes.fromhex(names) == ref.pad(model.contents[2])


@pytest.mark.skipif(os.environ.get("KX_SANITIZED") == "1", reason="the sanitizer reserves far more address space")
def test_memory_does_not_grow_with_the_weights(tmp_path):
    """Packing and unpacking 512 MiB of weights within 128 MiB of address space to spare."""
    code = r"""
import os, resource, sys
sys.path.insert(0, sys.argv[1])
import libs.kx_container as k
d = sys.argv[2]
for name in ("cfg", "n"):
    open(os.path.join(d, name), "wb").write(b"x" * 100)
with open(os.path.join(d, "w"), "wb") as f:
    for _ in range(512):
        f.write(os.urandom(1 << 20))
size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + (128 << 20), resource.RLIM_INFINITY))
box = k.kx_container()
box.createContainer(*[os.path.join(d, n) for n in ("cfg", "w", "n", "c")])
box.extractContainer(os.path.join(d, "c"))
ok = os.path.getsize(box.tmp_weight) == (512 << 20)
box.cleanup()
print("ok" if ok else "wrong size")
"""
    done = run_python(code, tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "ok"
