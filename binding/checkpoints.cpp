// World's checkpoints: to_bytes and from_bytes, save and load, copy and pickle.

#include "declare.hpp"  // first: it includes Python.h

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "checkpoint.hpp"
#include "lattice.hpp"
#include "world.hpp"

namespace tessaly::binding {

namespace {

// ---- checkpoint helpers ----

// Returns a new reference to the checkpoint bytes of the object's state:
// header, payload (compressed by zlib when `compress`), checksum.
PyObject* checkpoint_bytes(PyObject* self, bool compress) {
    WorldSlots& s = slots_of(self);
    const bool running = s.cpm.has_value();
    const std::vector<std::uint8_t> payload =
        tessaly::encode_payload(current(self), running, running ? s.cpm->rng : tessaly::Rng{{0, 0, 0, 0}});
    const std::uint8_t* stored = payload.data();
    std::size_t stored_size = payload.size();
    std::uint32_t codec = tessaly::codec_stored;
    Ref compressed;
    if (compress) {
        // level 1: the payload's runs have already taken what is cheap to take
        Ref zlib = checked(PyImport_ImportModule("zlib"));
        Ref view = checked(PyMemoryView_FromMemory(reinterpret_cast<char*>(const_cast<std::uint8_t*>(payload.data())),
                                                   static_cast<Py_ssize_t>(payload.size()), PyBUF_READ));
        compressed = checked(PyObject_CallMethod(zlib.get(), "compress", "Oi", view.get(), 1));
        stored = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(compressed.get()));
        stored_size = static_cast<std::size_t>(PyBytes_GET_SIZE(compressed.get()));
        codec = tessaly::codec_zlib;
    }
    const std::size_t body = tessaly::checkpoint_header_size + stored_size;
    Ref out = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(body + tessaly::checkpoint_trailer_size)));
    auto* p = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get()));
    tessaly::checkpoint_header(p, codec, payload.size(), stored_size);
    if (stored_size != 0) std::memcpy(p + tessaly::checkpoint_header_size, stored, stored_size);
    const std::uint32_t crc = tessaly::crc32(0, p, body);
    for (int k = 0; k < 4; ++k) p[body + k] = static_cast<std::uint8_t>(crc >> (8 * k));
    return out.release();
}

// The attribute names of a restored world are names add_cell_attribute
// takes: identifiers that name no column of the table without them.
void check_attribute_names(tessaly::World& w) {
    if (w.state.attributes.empty()) return;
    std::vector<tessaly::Attribute> held = std::move(w.state.attributes);
    w.state.attributes.clear();
    Ref table = checked(cell_table_of(w));
    w.state.attributes = std::move(held);
    for (const tessaly::Attribute& a : w.state.attributes) {
        Ref name(PyUnicode_DecodeUTF8(a.name.data(), static_cast<Py_ssize_t>(a.name.size()), "strict"));
        if (name.get() == nullptr) PyErr_Clear();
        const int taken = name.get() == nullptr ? 0 : PyDict_Contains(table.get(), name.get());
        if (taken < 0) throw PythonError{};
        if (name.get() == nullptr || !PyUnicode_IsIdentifier(name.get()) || taken)
            tessaly::damaged("an attribute called '" + a.name + "', which is no identifier or names a column");
    }
}

// Returns a new reference to a World of class `type` restored from
// checkpoint bytes; the object is made only once the bytes have been read.
PyObject* restore(PyTypeObject* type, const std::uint8_t* data, std::size_t size) {
    const tessaly::Frame f = tessaly::read_frame(data, size);
    const std::uint8_t* payload = f.stored;
    std::size_t payload_size = f.stored_size;
    Ref inflated;
    if (f.codec == tessaly::codec_zlib) {
        Ref zlib = checked(PyImport_ImportModule("zlib"));
        Ref view = checked(PyMemoryView_FromMemory(reinterpret_cast<char*>(const_cast<std::uint8_t*>(f.stored)),
                                                   static_cast<Py_ssize_t>(f.stored_size), PyBUF_READ));
        // the declared size is at most 1032 times the stored one (read_frame checked it)
        inflated = Ref(PyObject_CallMethod(zlib.get(), "decompress", "OiK", view.get(), 15,
                                           static_cast<unsigned long long>(std::max<std::uint64_t>(f.payload_size, 1))));
        if (inflated.get() == nullptr) {
            Ref zlib_error = checked(PyObject_GetAttrString(zlib.get(), "error"));
            if (!PyErr_ExceptionMatches(zlib_error.get())) throw PythonError{};
            PyErr_Clear();
            raise_error(PyExc_ValueError, "checkpoint damaged: the payload does not decompress");
        }
        payload = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(inflated.get()));
        payload_size = static_cast<std::size_t>(PyBytes_GET_SIZE(inflated.get()));
        if (payload_size != f.payload_size)
            raise_error(PyExc_ValueError, "checkpoint damaged: payload size disagrees with the data");
    }
    tessaly::WorldState state = tessaly::decode_payload(payload, payload_size);
    check_attribute_names(state.world);
    const tessaly::Lattice& lattice = state.world.lattice;
    WorldSlots contents;
    contents.dims = {lattice.nx, lattice.ny, lattice.nz};
    // the order is the longest offset of the neighbourhood, |dx| + |dy| + |dz|
    for (const tessaly::Offset& o : lattice.neighborhood.offsets)
        contents.neighbor_order = std::max(contents.neighbor_order,
                                           static_cast<std::uint8_t>(std::abs(o.dx) + std::abs(o.dy) + std::abs(o.dz)));
    if (state.running) {
        contents.cpm.emplace(std::move(state.world), state.rng);
    } else {
        contents.setup_world.emplace(std::move(state.world));
    }
    return new_world_object(type, std::move(contents));
}

// Sets OSError for errno `error` on `path` and unwinds.
[[noreturn]] void raise_os_error(int error, const std::string& path) {
    errno = error;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw PythonError{};
}

// Writes data to path so that a crash at any moment leaves either the old
// file or the new one: a temporary file in the same directory, written,
// flushed to the disk and renamed over the target, then the directory
// synced so that the rename itself is durable. The interpreter lock is
// released meanwhile; the bytes are the caller's own.
void write_atomically(const std::string& path, const char* data, std::size_t size) {
    static std::atomic<unsigned> counter{0};
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string temporary = (slash == std::string::npos ? "" : path.substr(0, slash + 1)) + "." + name + ".tmp-" +
                                  std::to_string(getpid()) + "-" + std::to_string(counter++);
    int error = 0;
    const std::string* failed = &path;
    Py_BEGIN_ALLOW_THREADS
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno;
        failed = &temporary;
    } else {
        std::size_t done = 0;
        while (error == 0 && done < size) {
            const ssize_t n = ::write(fd, data + done, size - done);
            if (n < 0 && errno != EINTR) error = errno;
            if (n > 0) done += static_cast<std::size_t>(n);
        }
        if (error == 0 && fsync(fd) != 0) error = errno;
        if (close(fd) != 0 && error == 0) error = errno;
        if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0) error = errno;
        if (error != 0) {
            unlink(temporary.c_str());
        } else {
            const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dir_fd >= 0) {
                if (fsync(dir_fd) != 0) error = errno;
                close(dir_fd);
            }
        }
    }
    Py_END_ALLOW_THREADS
    if (error != 0) raise_os_error(error, *failed);
}

// The whole file at path, read with the interpreter lock released.
std::vector<std::uint8_t> read_file(const std::string& path) {
    std::vector<std::uint8_t> data;
    int error = 0;
    Py_BEGIN_ALLOW_THREADS
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        error = errno;
    } else {
        // resizing may fail: caught here, since the lock is not held
        try {
            data.resize(static_cast<std::size_t>(info.st_size));
            std::size_t done = 0;
            while (error == 0) {
                if (done == data.size()) data.resize(data.size() + 65536);  // the file grew: read on
                const ssize_t n = ::read(fd, data.data() + done, data.size() - done);
                if (n < 0 && errno != EINTR) error = errno;
                if (n == 0) break;
                if (n > 0) done += static_cast<std::size_t>(n);
            }
            data.resize(done);
        } catch (const std::bad_alloc&) {
            error = ENOMEM;
        }
    }
    if (fd >= 0) close(fd);
    Py_END_ALLOW_THREADS
    if (error == ENOMEM) throw std::bad_alloc();
    if (error != 0) raise_os_error(error, path);
    return data;
}

// ---- methods: checkpoints ----

const Method World_to_bytes{
    "to_bytes", shared, params(),
    "The complete state of the world, in either phase, as checkpoint bytes:\n"
    "World.from_bytes(w.to_bytes()) continues exactly as w would.",
    [](PyObject* self) -> PyObject* { return checkpoint_bytes(self, true); }};

const Method World_from_bytes{
    "from_bytes", class_method, params(arg("data")),
    "A World restored from checkpoint bytes (any bytes-like object); ValueError\n"
    "when they are not a checkpoint, damaged, or from a newer tessaly.",
    [](PyTypeObject* type, Buffer data) -> PyObject* {
        const BufferView view(data.object);
        return restore(type, view.data(), view.size());
    }};

const Method World_save{
    "save", shared, params(arg("path")),
    "Write the world's checkpoint to `path` (str or os.PathLike) through a\n"
    "temporary file renamed over it: a crash leaves the old file or the new one.",
    [](PyObject* self, const Path& path) {
        Ref data = checked(checkpoint_bytes(self, true));
        write_atomically(path.bytes, PyBytes_AS_STRING(data.get()),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(data.get())));
    }};

const Method World_load{
    "load", class_method, params(arg("path")),
    "A World restored from a checkpoint file written by save(); reads only\n"
    "that format and runs no code from the file.",
    [](PyTypeObject* type, const Path& path) -> PyObject* {
        const std::vector<std::uint8_t> data = read_file(path.bytes);
        return restore(type, data.data(), data.size());
    }};

const Method World_reduce{
    "__reduce__", shared, params(), "Pickle support: the checkpoint bytes.", [](PyObject* self) -> PyObject* {
        Ref from_bytes = checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "from_bytes"));
        Ref data = checked(checkpoint_bytes(self, true));
        return Py_BuildValue("(O(O))", from_bytes.get(), data.get());
    }};

// A copy through uncompressed checkpoint bytes: the same state, nothing shared.
PyObject* copy_of(PyObject* self) {
    Ref data = checked(checkpoint_bytes(self, false));
    return restore(Py_TYPE(self), reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data.get())),
                   static_cast<std::size_t>(PyBytes_GET_SIZE(data.get())));
}

const Method World_copy{"__copy__", shared, params(), "An independent copy of the world (nothing is shared).",
                        [](PyObject* self) -> PyObject* { return copy_of(self); }};

const Method World_deepcopy{"__deepcopy__", shared, params(arg("memo")), "An independent copy of the world.",
                            [](PyObject* self, PyObject*) -> PyObject* { return copy_of(self); }};

// This file's methods, in the order of World's method table.
const Method* const checkpoints_list[] = {
    &World_to_bytes,
    &World_from_bytes,
    &World_save,
    &World_load,
    &World_reduce,
    &World_copy,
    &World_deepcopy,
};

}  // namespace

const std::span<const Method* const> checkpoints_methods = checkpoints_list;

}  // namespace tessaly::binding
