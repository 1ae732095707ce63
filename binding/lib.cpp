// The methods of World, the class and the module `tessaly`; the declaration
// machinery they use is in declare.hpp.

#include "declare.hpp"  // first: it includes Python.h

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "checkpoint.hpp"
#include "checks.hpp"
#include "connectivity.hpp"
#include "energy.hpp"
#include "error.hpp"
#include "external.hpp"
#include "field.hpp"
#include "init.hpp"
#include "lattice.hpp"
#include "length.hpp"
#include "lists.hpp"
#include "membrane.hpp"
#include "mitosis.hpp"
#include "parallel.hpp"
#include "sweep.hpp"
#include "world.hpp"

namespace tessaly::binding {

// The instance and class methods of World, in declaration order.
std::vector<const Method*>& World_declared() {
    static std::vector<const Method*> methods;
    return methods;
}

namespace {

// ---- module state ----

// The module is created once per process and belongs to the interpreter
// that created it: a repeated initialisation there returns the same object,
// any other interpreter is refused.
PyObject* tessaly_module_object = nullptr;
std::int64_t tessaly_interpreter = -1;

// ---- checkpoints ----

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

// ---- views ----

// The exporter behind site_view, field_view and activity_view: it holds the
// World and says which of its arrays to show. Consumers (a memoryview, NumPy) get the
// array's own memory, which no operation frees or moves while the World
// lives: the arrays are allocated once, with the world, and
// keep their place when finalize moves the world into the driver and when
// add_field moves the fields (a vector's storage moves with it); the
// activities are allocated once, by the Act model's first setting or the
// first activity_view.
struct WorldBufferObject {
    PyObject_HEAD
    PyObject* world;        // strong reference
    Py_ssize_t field;       // −1: the site ids, −2: the activities, else a field index
    Py_ssize_t shape[3];    // nz, ny, nx
    Py_ssize_t strides[3];  // in bytes, C order
};

static_assert(std::is_nothrow_move_constructible_v<tessaly::Field>,
              "fields must move without copying, or add_field would move the memory a field view shows");

int WorldBuffer_getbuffer(PyObject* exporter, Py_buffer* view, int flags) noexcept {
    auto* b = reinterpret_cast<WorldBufferObject*>(exporter);
    WorldSlots& s = slots_of(b->world);
    const bool sites = b->field == -1, activity = b->field == -2;
    view->obj = nullptr;
    if ((sites || activity) && (flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, sites ? "site_view is read-only" : "activity_view is read-only");
        return -1;
    }
    tessaly::World& w = s.cpm ? s.cpm->world : *s.setup_world;
    view->buf = sites      ? static_cast<void*>(w.lattice.sites.data())
                : activity ? static_cast<void*>(w.terms.act.activity.data())
                           : static_cast<void*>(w.fields[static_cast<std::size_t>(b->field)].conc.data());
    view->obj = Py_NewRef(exporter);
    view->itemsize = activity ? 1 : 4;
    view->len = b->shape[0] * b->shape[1] * b->shape[2] * view->itemsize;
    view->readonly = sites || activity ? 1 : 0;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(sites ? "I" : activity ? "B" : "f")
                                                           : nullptr;
    const bool with_shape = (flags & PyBUF_ND) == PyBUF_ND;
    view->ndim = with_shape ? 3 : 1;
    view->shape = with_shape ? b->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? b->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void WorldBuffer_dealloc(PyObject* exporter) {
    PyTypeObject* type = Py_TYPE(exporter);
    Py_CLEAR(reinterpret_cast<WorldBufferObject*>(exporter)->world);
    type->tp_free(exporter);
    Py_DECREF(type);
}

PyType_Slot WorldBuffer_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(WorldBuffer_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(WorldBuffer_dealloc)},
    {0, nullptr},
};

PyType_Spec WorldBuffer_spec = {
    "tessaly.WorldBuffer",
    static_cast<int>(sizeof(WorldBufferObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    WorldBuffer_slots,
};

// Returns a new reference to a memoryview of the site ids (field −1), the
// activities (−2) or one field of the World `self`.
PyObject* make_view(PyObject* self, Py_ssize_t field) {
    auto* state = static_cast<tessaly_state*>(PyType_GetModuleState(Py_TYPE(self)));
    auto* type = reinterpret_cast<PyTypeObject*>(state->buffer_type);
    Ref exporter = checked(type->tp_alloc(type, 0));
    auto* b = reinterpret_cast<WorldBufferObject*>(exporter.get());
    b->world = Py_NewRef(self);
    b->field = field;
    const tessaly::Lattice& lattice = current(self).lattice;
    b->shape[0] = static_cast<Py_ssize_t>(lattice.nz);
    b->shape[1] = static_cast<Py_ssize_t>(lattice.ny);
    b->shape[2] = static_cast<Py_ssize_t>(lattice.nx);
    b->strides[2] = field == -2 ? 1 : 4;
    b->strides[1] = b->strides[2] * b->shape[2];
    b->strides[0] = b->strides[1] * b->shape[1];
    return PyMemoryView_FromObject(exporter.get());
}

// One column of cell_table: a 1-D memoryview of `format` over a fresh
// bytearray of n items, filled by fill(pointer to the first item).
template <typename T, typename Fill>
PyObject* make_column(const char* format, std::size_t n, Fill fill) {
    Ref bytes = checked(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * sizeof(T))));
    fill(reinterpret_cast<T*>(PyByteArray_AS_STRING(bytes.get())));
    Ref raw = checked(PyMemoryView_FromObject(bytes.get()));
    // an interned name: a fresh string per call would take a new slot of the type's method cache each time
    Ref cast = checked(PyUnicode_InternFromString("cast"));
    Ref code = checked(PyUnicode_FromString(format));
    return PyObject_CallMethodOneArg(raw.get(), cast.get(), code.get());
}

// ---- the constructor ----

// Builds the engine world first; the object is allocated only once that
// has succeeded, so no half-made World ever reaches Python.
const Method World_init{
    "World", constructor, params(arg("dims"), arg("boundary"), arg("neighbor_order"), arg("temperature")),
    [](PyTypeObject* type, const Dims& dims, const std::string& boundary, std::uint8_t neighbor_order,
       double temperature) -> PyObject* {
        // an empty box can only be a mistake
        if (dims[0] == 0 || dims[1] == 0 || dims[2] == 0) {
            PyErr_Format(PyExc_ValueError, "dims: every dimension must be at least 1, got (%zu, %zu, %zu)", dims[0],
                         dims[1], dims[2]);
            throw PythonError{};
        }
        bool periodic = false;
        if (boundary == "periodic") {
            periodic = true;
        } else if (boundary != "noflux") {
            Ref text = checked(PyUnicode_DecodeUTF8(boundary.data(), static_cast<Py_ssize_t>(boundary.size()),
                                                    "surrogatepass"));
            PyErr_Format(PyExc_ValueError, "bad boundary %U", text.get());
            throw PythonError{};
        }
        // a box one site thick in z gets a planar neighbourhood
        tessaly::Neighborhood neighborhood(dims[2] >= 2 ? 1U : 0U, neighbor_order);
        tessaly::Lattice lattice(dims, {periodic, periodic, periodic}, std::move(neighborhood));
        WorldSlots contents;
        contents.setup_world.emplace(std::move(lattice), temperature);
        contents.dims = dims;
        contents.neighbor_order = neighbor_order;
        return new_world_object(type, std::move(contents));
    }};

// ---- methods: set-up ----

// A label array must hold one label per site, each in [0, 2³²−1].
void check_label_array(const tessaly::LabelArray& array, std::size_t n_sites) {
    const std::size_t count = tessaly::element_count(array);
    if (count != n_sites) {
        PyErr_Format(PyExc_ValueError, "labels: expected %zu labels, one per site, got %zu", n_sites, count);
        throw PythonError{};
    }
    if (tessaly::labels_fit_u32(array)) return;
    // the slower scan finds the value to name
    const tessaly::LabelRange range = tessaly::label_range(array);
    if (range.negative)
        PyErr_Format(PyExc_ValueError, "labels: every label must lie in [0, 4294967295], got %lld",
                     static_cast<long long>(range.min));
    else
        PyErr_Format(PyExc_ValueError, "labels: every label must lie in [0, 4294967295], got %llu",
                     static_cast<unsigned long long>(range.max));
    throw PythonError{};
}

const Method World_add_cell{
    "add_cell", exclusive,
    params(arg("cell_type"), arg("target_volume"), arg("lambda_volume"), arg("target_surface"), arg("lambda_surface")),
    [](PyObject* self, CellType cell_type, double target_volume, double lambda_volume, double target_surface,
       double lambda_surface) -> PyObject* {
        tessaly::World& w = setup_only(self, "add_cell after finalize");
        tessaly::record_type(w, cell_type);
        const CellId id = tessaly::add_cell(w, cell_type, target_volume, lambda_volume, target_surface, lambda_surface);
        return PyLong_FromUnsignedLong(id);
    }};

const Method World_seed_block{
    "seed_block", exclusive,
    params(arg("cell_id"), arg("x0"), arg("y0"), arg("z0"), arg("x1"), arg("y1"), arg("z1")),
    [](PyObject* self, CellId cell_id, std::size_t x0, std::size_t y0, std::size_t z0, std::size_t x1,
       std::size_t y1, std::size_t z1) {
        tessaly::World& w = setup_only(self, "seed after finalize");
        const tessaly::SiteBox box{{x0, y0, z0}, {x1, y1, z1}};
        // refused, nothing painted
        if (!tessaly::box_fits(w.lattice, box))
            raise_error(PyExc_ValueError, "seed_block box reaches outside the lattice");
        tessaly::paint_box(w, box, cell_id);
    }};

const Method World_seed_from_labels{
    "seed_from_labels", exclusive,
    params(arg("labels"), arg("types"), arg("default_type"), arg("target_volume"), arg("lambda_volume")),
    [](PyObject* self, const Labels& labels, const TypeMap& types, CellType default_type, double target_volume,
       double lambda_volume) -> PyObject* {
        // the types count as mentioned even when the phase refuses the call
        tessaly::World& mentioned = current(self);
        tessaly::record_type(mentioned, default_type);
        for (const auto& entry : types) tessaly::record_type(mentioned, entry.second);
        tessaly::World& w = setup_only(self, "seed after finalize");
        std::vector<std::pair<std::uint32_t, CellId>> entries;  // in order of creation
        if (labels.buffer) {
            check_label_array(labels.array, w.lattice.n_sites());
            entries = tessaly::seed_from_labels(w, labels.array, types, default_type, target_volume, lambda_volume);
        } else {
            const auto created =
                tessaly::seed_from_labels(w, labels.list, types, default_type, target_volume, lambda_volume);
            entries.assign(created.begin(), created.end());
            std::sort(entries.begin(), entries.end(), [](const auto& p, const auto& q) { return p.second < q.second; });
        }
        // the dict lists the labels in the order their cells were created
        Ref dict = checked(PyDict_New());
        for (const auto& [label, id] : entries) {
            Ref key = checked(PyLong_FromUnsignedLong(label));
            Ref value = checked(PyLong_FromUnsignedLong(id));
            if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw PythonError{};
        }
        return dict.release();
    }};

const Method World_set_contact{
    "set_contact", exclusive, params(arg("type_a"), arg("type_b"), arg("j")),
    [](PyObject* self, CellType type_a, CellType type_b, double j) {
        tessaly::World& w = current(self);
        tessaly::record_contact(w, type_a, type_b, j);
        // once running, the driver's table is already built: the entry goes straight into it
        if (slots_of(self).cpm) tessaly::set_contact_live(w, type_a, type_b, j);
    }};

const Method World_set_target_volume{
    "set_target_volume", exclusive, params(arg("cell_id"), arg("v")),
    [](PyObject* self, CellId cell_id, double v) { tessaly::set_target_volume(current(self), cell_id, v); }};

const Method World_snapshot{
    "snapshot", shared, params(), [](PyObject* self) -> PyObject* {
        return make_int_list(current(self).lattice.sites, [](CellId id) { return id; });
    }};

const Method World_site_view{
    "site_view", shared, params(),
    "A read-only memoryview of the site ids without a copy: format 'I',\n"
    "shape (nz, ny, nx), so view[z, y, x] is site x + nx*(y + ny*z). It shows\n"
    "the live lattice and keeps the World alive.",
    [](PyObject* self) -> PyObject* { return make_view(self, -1); }};

const Method World_set_cell_params{
    "set_cell_params", exclusive,
    params(arg("cell_id"), kw_only("target_volume") = None, kw_only("lambda_volume") = None,
           kw_only("target_surface") = None, kw_only("lambda_surface") = None),
    "Replace the given energy parameters of cell `cell_id`; the others keep\n"
    "their values. The surface term runs while some cell has lambda_surface != 0.",
    [](PyObject* self, CellId cell_id, std::optional<double> target_volume, std::optional<double> lambda_volume,
       std::optional<double> target_surface, std::optional<double> lambda_surface) {
        tessaly::set_cell_params(current(self), cell_id, {target_volume, lambda_volume, target_surface, lambda_surface});
    }};

const Method World_dims{
    "dims", shared, params(), [](PyObject* self) -> PyObject* {
        const Dims& dims = slots_of(self).dims;
        return make_triple(PyLong_FromSize_t(dims[0]), PyLong_FromSize_t(dims[1]), PyLong_FromSize_t(dims[2]));
    }};

const Method World_n_cells{
    "n_cells", shared, params(),
    [](PyObject* self) -> PyObject* { return PyLong_FromSize_t(current(self).cells.size() - 1); }};

// ---- methods: finalize and step ----

const Method World_finalize{
    "finalize", exclusive, params(arg("seed")), [](PyObject* self, std::uint64_t seed) {
        WorldSlots& s = slots_of(self);
        tessaly::World& w = setup_only(self, "already finalized");
        // a failure leaves the object in the set-up phase with its world
        tessaly::finish_setup(w);
        // nonsense the dynamics accepts: warned about once here, results unchanged
        // (a warning turned into an error stops finalize with the world still set up)
        for (const std::string& problem : tessaly::questionable_settings(w))
            if (PyErr_WarnEx(PyExc_RuntimeWarning, problem.c_str(), 1) < 0) throw PythonError{};
        tessaly::seed_persistence(w.terms.persistence, seed);
        s.cpm.emplace(std::move(w), seed);
        s.setup_world.reset();
    }};

const Method World_step{
    "step", exclusive, params(arg("mcs")), [](PyObject* self, std::uint64_t mcs) {
        if (!tessaly::step(running_only(self), mcs, poll_signals)) raise_interrupted();
    }};

// ---- methods: configuration ----

const Method World_grow{
    "grow", exclusive, params(arg("cell_type"), arg("rate")),
    [](PyObject* self, CellType cell_type, double rate) { tessaly::grow(current(self), cell_type, rate); }};

const Method World_add_field{
    "add_field", exclusive, params(arg("name"), arg("d"), arg("decay")),
    [](PyObject* self, const std::string& name, double d, double decay) -> PyObject* {
        tessaly::World& w = setup_only(self, "add_field after finalize");
        return PyLong_FromSize_t(tessaly::add_field(w, name, d, decay));
    }};

const Method World_set_junction{
    "set_junction", exclusive, params(arg("cell_type"), arg("on")), [](PyObject* self, CellType cell_type, bool on) {
        tessaly::World& w = current(self);
        tessaly::record_type(w, cell_type);
        tessaly::set_junction(w, cell_type, on);
    }};

const Method World_set_junction_lambda{
    "set_junction_lambda", exclusive, params(arg("lambda")),
    [](PyObject* self, double lambda) { tessaly::set_junction_lambda(current(self), lambda); }};

const Method World_set_membrane{
    "set_membrane", exclusive, params(arg("anchors"), arg("k"), arg("band")),
    [](PyObject* self, const std::vector<std::size_t>& anchors, double k, double band) {
        tessaly::set_membrane(current(self), anchors, k, band);
    }};

const Method World_set_membrane_anchored{
    "set_membrane_anchored", exclusive, params(arg("cell_type"), arg("on")),
    [](PyObject* self, CellType cell_type, bool on) {
        tessaly::World& w = current(self);
        tessaly::record_type(w, cell_type);
        tessaly::set_membrane_anchored(w, cell_type, on);
    }};

const Method World_set_cell_type{
    "set_cell_type", exclusive, params(arg("cell_id"), arg("new_type")),
    [](PyObject* self, CellId cell_id, CellType new_type) {
        tessaly::set_cell_type(current(self), cell_id, new_type);
    }};

const Method World_set_secretion{
    "set_secretion", exclusive, params(arg("field_idx"), arg("cell_type"), arg("rate")),
    [](PyObject* self, std::size_t field_idx, CellType cell_type, double rate) {
        tessaly::set_secretion(current(self), field_idx, cell_type, rate);
    }};

const Method World_set_cell_secretion_scale{
    "set_cell_secretion_scale", exclusive, params(arg("field_idx"), arg("cell_id"), arg("scale")),
    [](PyObject* self, std::size_t field_idx, CellId cell_id, double scale) {
        tessaly::set_cell_secretion_scale(current(self), field_idx, cell_id, scale);
    }};

const Method World_step_parallel{
    "step_parallel", exclusive, params(arg("mcs"), arg("block") = 16),
    "Parallel checkerboard sweep across CPU cores (opt-in; approximate but\n"
    "validated to track the sequential dynamics). `block` is the tile side\n"
    "(>=2). Set RAYON_NUM_THREADS to cap threads. Not for length-constraint models.",
    [](PyObject* self, std::uint64_t mcs, std::size_t block) {
        if (!tessaly::step_parallel(running_only(self), mcs, block, poll_signals)) raise_interrupted();
    }};

const Method World_advance_fields{
    "advance_fields", exclusive, params(arg("n")), [](PyObject* self, std::uint32_t n) {
        tessaly::World& w = current(self);
        for (std::uint32_t i = 0; i < n; ++i) {
            if (i > 0 && poll_signals()) throw PythonError{};
            if (!tessaly::advance_fields(w, poll_signals)) raise_interrupted();
        }
    }};

const Method World_set_chemotaxis{
    "set_chemotaxis", exclusive, params(arg("field_idx"), arg("cell_type"), arg("lambda_val")),
    [](PyObject* self, std::size_t field_idx, CellType cell_type, double lambda_val) {
        tessaly::set_chemotaxis(current(self), field_idx, cell_type, lambda_val);
    }};

const Method World_set_chemotaxis_occupancy{
    "set_chemotaxis_occupancy", exclusive,
    params(arg("field_idx"), arg("cell_type"), arg("lambda_val"), arg("kd"), arg("hill"), arg("scale")),
    [](PyObject* self, std::size_t field_idx, CellType cell_type, double lambda_val, double kd, double hill,
       double scale) {
        tessaly::set_chemotaxis_occupancy(current(self), field_idx, cell_type, lambda_val, kd, hill, scale);
    }};

const Method World_set_connectivity{
    "set_connectivity", exclusive, params(arg("cell_type"), arg("on")),
    [](PyObject* self, CellType cell_type, bool on) {
        tessaly::World& w = current(self);
        tessaly::record_type(w, cell_type);
        tessaly::set_connectivity(w, cell_type, on);
    }};

const Method World_set_connectivity_medium{
    "set_connectivity_medium", exclusive, params(arg("on")),
    [](PyObject* self, bool on) { tessaly::set_connectivity_medium(current(self), on); }};

const Method World_set_field_dynamics{
    "set_field_dynamics", exclusive, params(arg("field_idx"), arg("dt"), arg("substeps")),
    [](PyObject* self, std::size_t field_idx, double dt, std::uint32_t substeps) {
        tessaly::set_field_dynamics(current(self), field_idx, dt, substeps);
    }};

const Method World_field_add_source_at{
    "field_add_source_at", exclusive, params(arg("field_idx"), arg("x"), arg("y"), arg("z"), arg("amount")),
    "Add `amount` to field `field_idx`'s concentration at site (x, y, z);\n"
    "out-of-range coordinates are clamped to the domain rather than panicking.",
    [](PyObject* self, std::size_t field_idx, std::size_t x, std::size_t y, std::size_t z, double amount) {
        tessaly::field_add_source_at(current(self), field_idx, x, y, z, amount);
    }};

const Method World_set_length_constraint{
    "set_length_constraint", exclusive, params(arg("cell_type"), arg("target_length"), arg("lambda")),
    [](PyObject* self, CellType cell_type, double target_length, double lambda) {
        tessaly::World& w = current(self);
        tessaly::record_type(w, cell_type);
        tessaly::set_length_constraint(w, cell_type, target_length, lambda);
    }};

const Method World_set_external_potential{
    "set_external_potential", exclusive, params(arg("cell_type"), arg("fx"), arg("fy"), arg("fz")),
    [](PyObject* self, CellType cell_type, double fx, double fy, double fz) {
        tessaly::World& w = current(self);
        tessaly::record_type(w, cell_type);
        tessaly::set_external_potential(w, cell_type, fx, fy, fz);
    }};

const Method World_divide_cells{
    "divide_cells", exclusive, params(arg("threshold"), arg("reset_target")),
    [](PyObject* self, double threshold, double reset_target) -> PyObject* {
        const std::vector<CellId> created = tessaly::divide_cells(current(self), threshold, reset_target);
        return make_list_of(created, [](CellId id) { return PyLong_FromUnsignedLong(id); });
    }};

const Method World_remove_cells{
    "remove_cells", exclusive, params(arg("ids")),
    [](PyObject* self, const std::vector<CellId>& ids) { tessaly::remove_cells(current(self), ids); }};

// ---- methods: motility, chosen divisions, frozen cells ----

// The axis of a chosen division: "major", "minor", "random" or a 3-tuple
// (NULL: the declared default, "major"); `normal` takes the tuple.
tessaly::DivisionAxis division_axis(PyObject* orientation, std::array<double, 3>& normal) {
    static const char* const expected =
        "orientation: expected \"major\", \"minor\", \"random\" or a tuple of three finite floats, not all 0";
    if (orientation == nullptr || PyUnicode_Check(orientation)) {
        const std::string kind = orientation == nullptr ? "major" : from_python<std::string>(orientation);
        if (kind == "major") return tessaly::DivisionAxis::major;
        if (kind == "minor") return tessaly::DivisionAxis::minor;
        if (kind == "random") return tessaly::DivisionAxis::random;
        raise_error(PyExc_ValueError, expected);
    }
    if (!PyTuple_Check(orientation) || PyTuple_GET_SIZE(orientation) != 3) raise_error(PyExc_ValueError, expected);
    for (std::size_t k = 0; k < 3; ++k)
        normal[k] = from_python<double>(PyTuple_GET_ITEM(orientation, static_cast<Py_ssize_t>(k)));
    if (!std::isfinite(normal[0]) || !std::isfinite(normal[1]) || !std::isfinite(normal[2]) ||
        (normal[0] == 0.0 && normal[1] == 0.0 && normal[2] == 0.0))
        raise_error(PyExc_ValueError, expected);
    return tessaly::DivisionAxis::given;
}

const Method World_divide_cell{
    "divide_cell", exclusive, params(arg("cell_id"), arg("orientation") = "major", arg("target_volumes") = None),
    "Divide one cell through its centroid by a plane whose normal is its major\n"
    "axis, its minor axis, a random direction or a given (x, y, z); the sites on\n"
    "the positive side go to a new cell. Return the new cell's id.",
    [](PyObject* self, CellId cell_id, PyObject* orientation, PyObject* target_volumes) -> PyObject* {
        std::optional<std::array<double, 2>> targets;
        if (target_volumes != Py_None) {
            if (!PyTuple_Check(target_volumes) || PyTuple_GET_SIZE(target_volumes) != 2)
                raise_error(PyExc_ValueError, "target_volumes: expected None or a tuple of two floats");
            targets = {from_python<double>(PyTuple_GET_ITEM(target_volumes, 0)),
                       from_python<double>(PyTuple_GET_ITEM(target_volumes, 1))};
        }
        std::array<double, 3> normal{};
        const tessaly::DivisionAxis axis = division_axis(orientation, normal);
        // the driver's generator: only a running world has one
        tessaly::Rng* rng = axis == tessaly::DivisionAxis::random ? &running_only(self).rng : nullptr;
        const tessaly::ChosenDivision done = tessaly::divide_cell(current(self), cell_id, axis, normal, rng, targets);
        switch (done.refusal) {
        case tessaly::DivisionRefusal::none: break;
        case tessaly::DivisionRefusal::not_a_cell:
            raise_error(PyExc_ValueError, "cell_id: expected a registered cell other than the medium");
        case tessaly::DivisionRefusal::too_small:
            raise_error(PyExc_ValueError, "cell_id: a cell of fewer than two sites cannot divide");
        case tessaly::DivisionRefusal::one_side_empty:
            raise_error(PyExc_ValueError, "orientation: the cut leaves one side empty");
        }
        return PyLong_FromUnsignedLong(done.daughter);
    }};

const Method World_set_cell_frozen{
    "set_cell_frozen", exclusive, params(arg("cell_id"), arg("frozen")),
    "Freeze (or free) one cell: no copy into or out of its sites is accepted.",
    [](PyObject* self, CellId cell_id, bool frozen) {
        tessaly::World& w = current(self);
        if (cell_id == tessaly::MEDIUM) raise_error(PyExc_ValueError, "cell_id: the medium cannot be frozen");
        (void)tessaly::cell_at(w, cell_id);
        tessaly::set_cell_frozen(w, cell_id, frozen);
    }};

const Method World_set_act{
    "set_act", exclusive, params(arg("cell_type"), arg("lambda_act"), arg("max_act")),
    "The Act model for cells of the type: sites they gain take activity max_act\n"
    "(0-255), which decays by 1 per Monte Carlo step.",
    [](PyObject* self, CellType cell_type, double lambda_act, std::uint8_t max_act) {
        tessaly::set_act(current(self), cell_type, lambda_act, max_act);
    }};

const Method World_set_act_mean{
    "set_act_mean", exclusive, params(arg("kind")),
    "The mean of the Act model's local activity: \"geometric\" or \"arithmetic\".",
    [](PyObject* self, const std::string& kind) {
        if (kind != "geometric" && kind != "arithmetic")
            raise_error(PyExc_ValueError, "kind: expected \"geometric\" or \"arithmetic\"");
        tessaly::set_act_mean(current(self), kind == "arithmetic");
    }};

const Method World_activity_view{
    "activity_view", shared, params(),
    "A read-only memoryview of the Act activities without a copy: format 'B',\n"
    "shape (nz, ny, nx), laid out as site_view. It shows the live values and\n"
    "keeps the World alive.",
    [](PyObject* self) -> PyObject* {
        // made once, here or by set_act, and never moved: views may hold it
        std::vector<std::uint8_t>& activity = current(self).terms.act.activity;
        if (activity.empty()) activity.assign(current(self).lattice.n_sites(), 0);
        return make_view(self, -2);
    }};

const Method World_set_persistence{
    "set_persistence", exclusive, params(arg("cell_type"), arg("lambda_dir"), arg("delta_t"), arg("persist")),
    "Persistent motion for cells of the type along a preferred direction that\n"
    "follows their displacement over the last delta_t steps.",
    [](PyObject* self, CellType cell_type, double lambda_dir, std::uint32_t delta_t, double persist) {
        if (delta_t == 0 || delta_t > tessaly::MAX_DELTA_T)
            raise_error(PyExc_ValueError, "delta_t: expected 1 to 10000 steps");
        if (!(persist >= 0.0 && persist <= 1.0)) raise_error(PyExc_ValueError, "persist: expected a value from 0 to 1");
        tessaly::set_persistence(current(self), cell_type, lambda_dir, delta_t, persist);
    }};

const Method World_set_tracking{
    "set_tracking", exclusive, params(arg("on")),
    "Keep every cell's track, its centroid displacement accumulated over the\n"
    "Monte Carlo steps.",
    [](PyObject* self, bool on) { tessaly::set_tracking(current(self), on); }};

// Returns a new reference to a list of (x, y, z) tuples, one per registered cell.
PyObject* vec3_list(std::size_t n, const std::vector<tessaly::Vec3>& values) {
    return make_list(n, [&](std::size_t i) {
        const tessaly::Vec3 v = i < values.size() ? values[i] : tessaly::Vec3{};
        return make_triple(PyFloat_FromDouble(v[0]), PyFloat_FromDouble(v[1]), PyFloat_FromDouble(v[2]));
    });
}

const Method World_cell_centroids{
    "cell_centroids", shared, params(), "Every cell's centroid, right across periodic faces.",
    [](PyObject* self) -> PyObject* {
        const tessaly::World& w = current(self);
        const tessaly::Tracks* tracks = tessaly::tracking_on(w.terms) ? &w.terms.tracks : nullptr;
        return vec3_list(w.cells.size(), tessaly::centroids(w, tracks));
    }};

const Method World_cell_tracks{
    "cell_tracks", shared, params(), "Every cell's accumulated centroid displacement since tracking began.",
    [](PyObject* self) -> PyObject* {
        const tessaly::World& w = current(self);
        return vec3_list(w.cells.size(), w.terms.tracks.position);
    }};

const Method World_cell_directions{
    "cell_directions", shared, params(), "Every cell's preferred direction of persistent motion.",
    [](PyObject* self) -> PyObject* {
        const tessaly::World& w = current(self);
        return vec3_list(w.cells.size(), w.terms.persistence.direction);
    }};

// ---- methods: observables ----

const Method World_cell_coms{
    "cell_coms", shared, params(), [](PyObject* self) -> PyObject* {
        return make_list_of(current(self).cells, [](const tessaly::Cell& cell) {
            const tessaly::Trackers& c = cell.trackers;
            if (c.volume == 0)
                return make_triple(PyFloat_FromDouble(0.0), PyFloat_FromDouble(0.0), PyFloat_FromDouble(0.0));
            const double v = static_cast<double>(c.volume);
            return make_triple(PyFloat_FromDouble(c.sum_x / v), PyFloat_FromDouble(c.sum_y / v),
                               PyFloat_FromDouble(c.sum_z / v));
        });
    }};

const Method World_cell_types{
    "cell_types", shared, params(), [](PyObject* self) -> PyObject* {
        return make_int_list(current(self).cells, [](const tessaly::Cell& c) { return c.cell_type; });
    }};

const Method World_cell_volumes{
    "cell_volumes", shared, params(), [](PyObject* self) -> PyObject* {
        return make_int_list(current(self).cells, [](const tessaly::Cell& c) { return c.trackers.volume; });
    }};

const Method World_cell_surfaces{
    "cell_surfaces", shared, params(), [](PyObject* self) -> PyObject* {
        return make_int_list(current(self).cells, [](const tessaly::Cell& c) { return c.trackers.surface; });
    }};

const Method World_cell_lengths{
    "cell_lengths", shared, params(), [](PyObject* self) -> PyObject* {
        const tessaly::World& w = current(self);
        return make_list(w.cells.size(), [&](std::size_t i) {
            return PyFloat_FromDouble(tessaly::cell_length(w, static_cast<CellId>(i)));
        });
    }};

const Method World_cell_length{
    "cell_length", shared, params(arg("cell_id")), [](PyObject* self, CellId cell_id) -> PyObject* {
        return PyFloat_FromDouble(tessaly::cell_length(current(self), cell_id));
    }};

const Method World_cell_contact_area_by_type{
    "cell_contact_area_by_type", shared, params(arg("cell_id")),
    "Per-cell contact-area-by-type: dict[cell_type -> contact-area] of how\n"
    "much of `cell_id`'s surface contacts each neighbor cell type (MEDIUM=0\n"
    "included). Contact area uses the configured (Moore) neighborhood, the\n"
    "same one `cell_surfaces()` uses -- not axis-faces only -- so the sum of\n"
    "values equals `cell_surfaces()[cell_id]`. Pure read.",
    [](PyObject* self, CellId cell_id) -> PyObject* {
        const tessaly::World& w = current(self);
        std::vector<std::pair<CellType, std::int64_t>> areas;
        if (cell_id < w.cells.size()) {
            areas = tessaly::contact_area_by_type(w, cell_id);
        } else {
            // an id beyond the registry has no contacts worth reporting: never an error
            try {
                areas = tessaly::contact_area_by_type(w, cell_id);
            } catch (const tessaly::EngineError&) {
                areas.clear();
            }
        }
        Ref dict = checked(PyDict_New());
        for (const auto& [type, count] : areas) {
            Ref key = checked(PyLong_FromLong(type));
            Ref value = checked(PyLong_FromLongLong(count));
            if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw PythonError{};
        }
        return dict.release();
    }};

const Method World_field_conc{
    "field_conc", shared, params(arg("field_idx")), [](PyObject* self, std::size_t field_idx) -> PyObject* {
        return make_float_list(tessaly::field_at(current(self), field_idx).conc, [](float c) { return c; });
    }};

const Method World_field_view{
    "field_view", shared, params(arg("field_idx")),
    "A writable memoryview of field `field_idx`'s concentrations without a\n"
    "copy: format 'f', shape (nz, ny, nx); writing into it sets the field.",
    [](PyObject* self, std::size_t field_idx) -> PyObject* {
        tessaly::field_at(current(self), field_idx);  // checked
        return make_view(self, static_cast<Py_ssize_t>(field_idx));
    }};

const Method World_cell_table{
    "cell_table", shared, params(),
    "One row per cell record (the medium first) as a dict of equal-length\n"
    "columns, each a memoryview: id, type, volume, surface, target_volume,\n"
    "lambda_volume, target_surface, lambda_surface, com_x, com_y, com_z,\n"
    "dir_x, dir_y, dir_z.",
    [](PyObject* self) -> PyObject* {
        const std::vector<tessaly::Cell>& cells = current(self).cells;
        const std::size_t n = cells.size();
        Ref table = checked(PyDict_New());
        const auto add = [&](const char* name, PyObject* column) {
            Ref owned = checked(column);
            if (PyDict_SetItemString(table.get(), name, owned.get()) < 0) throw PythonError{};
        };
        const auto integers = [&](const char* name, auto member) {
            add(name, make_column<std::int64_t>("q", n, [&](std::int64_t* out) {
                for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::int64_t>(member(cells[i]));
            }));
        };
        const auto reals = [&](const char* name, auto member) {
            add(name, make_column<double>("d", n, [&](double* out) {
                for (std::size_t i = 0; i < n; ++i) out[i] = member(cells[i]);
            }));
        };
        // the centre of mass as cell_coms gives it: 0 for an empty cell
        const auto com = [](double sum, const tessaly::Cell& c) {
            return c.trackers.volume == 0 ? 0.0 : sum / static_cast<double>(c.trackers.volume);
        };
        integers("id", [](const tessaly::Cell& c) { return c.id; });
        integers("type", [](const tessaly::Cell& c) { return c.cell_type; });
        integers("volume", [](const tessaly::Cell& c) { return c.trackers.volume; });
        integers("surface", [](const tessaly::Cell& c) { return c.trackers.surface; });
        reals("target_volume", [](const tessaly::Cell& c) { return c.target_volume; });
        reals("lambda_volume", [](const tessaly::Cell& c) { return c.lambda_volume; });
        reals("target_surface", [](const tessaly::Cell& c) { return c.target_surface; });
        reals("lambda_surface", [](const tessaly::Cell& c) { return c.lambda_surface; });
        reals("com_x", [&](const tessaly::Cell& c) { return com(c.trackers.sum_x, c); });
        reals("com_y", [&](const tessaly::Cell& c) { return com(c.trackers.sum_y, c); });
        reals("com_z", [&](const tessaly::Cell& c) { return com(c.trackers.sum_z, c); });
        // the preferred direction of persistent motion: 0 before a cell has one
        const std::vector<tessaly::Vec3>& direction = current(self).terms.persistence.direction;
        for (std::size_t axis = 0; axis < 3; ++axis)
            reals(axis == 0 ? "dir_x" : axis == 1 ? "dir_y" : "dir_z", [&](const tessaly::Cell& c) {
                return c.id < direction.size() ? direction[c.id][axis] : 0.0;
            });
        return table.release();
    }};

const Method World_field_value_at{
    "field_value_at", shared, params(arg("field_idx"), arg("x"), arg("y"), arg("z")),
    "Concentration of field `field_idx` at site (x, y, z); out-of-range\n"
    "coordinates are clamped to the domain rather than panicking.",
    [](PyObject* self, std::size_t field_idx, std::size_t x, std::size_t y, std::size_t z) -> PyObject* {
        return PyFloat_FromDouble(static_cast<double>(tessaly::field_value_at(current(self), field_idx, x, y, z)));
    }};

const Method World_field_mean_at_cell{
    "field_mean_at_cell", shared, params(arg("field_idx"), arg("cell_id")),
    [](PyObject* self, std::size_t field_idx, CellId cell_id) -> PyObject* {
        return PyFloat_FromDouble(tessaly::field_mean_at_cell(current(self), field_idx, cell_id));
    }};

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

// ---- method table ----

// The text of `= default` in a signature.
std::string default_text(const Param& p) {
    switch (p.fallback) {
    case Param::Default::required:
        return "";
    case Param::Default::none:
        return "=None";
    case Param::Default::integer:
        return std::string("=").append(std::to_string(p.integer));
    case Param::Default::boolean:
        return p.boolean ? "=True" : "=False";
    case Param::Default::text:
        return std::string("='").append(p.text).append("'");
    case Param::Default::real: {
        char* text = PyOS_double_to_string(p.real, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (text == nullptr) throw PythonError{};
        std::string result = std::string("=").append(text);
        PyMem_Free(text);
        return result;
    }
    }
    throw std::logic_error("unknown kind of default");
}

// The docstring: the text signature in the `NAME($self, ARGS)\n--\n\n` form
// that gives Python the method's signature, then the documentation.
std::string docstring(const Method& m) {
    std::string text = std::string(m.name) + "(";
    const char* separator = "";
    auto add = [&](const std::string& part) {
        text += separator + part;
        separator = ", ";
    };
    if (m.role == Role::shared || m.role == Role::exclusive) add("$self");
    if (m.role == Role::class_method) add("$type");
    bool starred = false;
    for (const Param& p : m.parameters) {
        if (p.keyword_only && !starred) add("*");
        starred = starred || p.keyword_only;
        add(p.name + default_text(p));
    }
    return text + ")\n--\n\n" + m.doc;
}

// World's method table and docstrings, built from the declarations when the
// module is first initialised, then kept for the life of the process.
struct MethodTable {
    std::vector<std::string> docs;
    std::vector<PyMethodDef> methods;  // ends with the sentinel
    std::string class_doc;
};

// Sets a SystemError naming the first declaration that is not sound.
bool declarations_sound() {
    for (const Method* m : World_declared())
        if (*m->flaw != '\0') {
            PyErr_Format(PyExc_SystemError, "tessaly: World.%s: %s", m->name, m->flaw);
            return false;
        }
    if (*World_init.flaw != '\0') {
        PyErr_Format(PyExc_SystemError, "tessaly: World(): %s", World_init.flaw);
        return false;
    }
    return true;
}

const MethodTable& World_table() {
    static const MethodTable table = [] {
        MethodTable t;
        for (const Method* m : World_declared()) t.docs.push_back(docstring(*m));
        for (std::size_t i = 0; i < World_declared().size(); ++i) {
            const Method& m = *World_declared()[i];
            const int flags = METH_FASTCALL | METH_KEYWORDS | (m.role == Role::class_method ? METH_CLASS : 0);
            t.methods.push_back({m.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m.entry)), flags,
                                 t.docs[i].c_str()});
        }
        t.methods.push_back({nullptr, nullptr, 0, nullptr});
        t.class_doc = docstring(World_init);
        return t;
    }();
    return table;
}

// ---- type slots and spec ----

PyObject* World_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    try {
        // lay the call out as a vectorcall: positionals, then keyword values, their names in a tuple
        std::vector<PyObject*> stack;
        const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        for (Py_ssize_t i = 0; i < nargs; ++i) stack.push_back(PyTuple_GET_ITEM(args, i));
        Ref kwnames;
        if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
            kwnames = checked(PyTuple_New(PyDict_GET_SIZE(kwargs)));
            Py_ssize_t position = 0, k = 0;
            PyObject *key = nullptr, *value = nullptr;
            while (PyDict_Next(kwargs, &position, &key, &value)) {
                PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
                stack.push_back(value);
            }
        }
        return World_init.entry(reinterpret_cast<PyObject*>(type), stack.data(), nargs, kwnames.get());
    } catch (...) {
        set_python_error(static_cast<tessaly_state*>(PyType_GetModuleState(type))->internal_error);
        return nullptr;
    }
}

void World_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    slots_of(self).~WorldSlots();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* World_repr(PyObject* self) noexcept {
    WorldSlots& s = slots_of(self);
    const tessaly::World& w = s.cpm ? s.cpm->world : *s.setup_world;
    Ref temperature(PyFloat_FromDouble(w.temperature));
    if (temperature.get() == nullptr) return nullptr;
    return PyUnicode_FromFormat(
        "<World dims=(%zu, %zu, %zu) boundary='%s' neighbor_order=%u temperature=%R phase='%s' cells=%zu fields=%zu>",
        s.dims[0], s.dims[1], s.dims[2], w.lattice.periodic[0] ? "periodic" : "noflux", unsigned{s.neighbor_order},
        temperature.get(), s.cpm ? "running" : "set-up", w.cells.size() - 1, w.fields.size());
}

PyType_Slot World_slots[] = {
    {Py_tp_doc, nullptr},      // the constructor's docstring, set by tessaly_exec
    {Py_tp_new, reinterpret_cast<void*>(World_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(World_dealloc)},
    {Py_tp_methods, nullptr},  // World_table().methods, set by tessaly_exec
    {Py_tp_repr, reinterpret_cast<void*>(World_repr)},
    {0, nullptr},
};

// Not subclassable (no BASETYPE), no instance dict, no weak references.
// The dotted spec name gives the class its __module__; tessaly_exec then
// shortens tp_name to the bare "World".
PyType_Spec World_spec = {
    "tessaly.World",
    static_cast<int>(sizeof(WorldObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    World_slots,
};

// ---- exec function ----

int tessaly_exec(PyObject* module) {
    auto* state = static_cast<tessaly_state*>(PyModule_GetState(module));
    // BaseException, not Exception: a failed engine check means a broken
    // invariant or a misuse, and a plain `except Exception` must not hide it
    state->internal_error = PyErr_NewExceptionWithDoc(
        "tessaly.InternalError", "A check inside the simulation engine failed; the call was aborted.",
        PyExc_BaseException, nullptr);
    if (state->internal_error == nullptr) return -1;
    if (!declarations_sound()) return -1;
    try {
        const MethodTable& table = World_table();
        World_slots[0].pfunc = const_cast<char*>(table.class_doc.c_str());
        World_slots[3].pfunc = const_cast<PyMethodDef*>(table.methods.data());
    } catch (...) {
        set_python_error(state->internal_error);
        return -1;
    }
    state->world_type = PyType_FromModuleAndSpec(module, &World_spec, nullptr);
    if (state->world_type == nullptr) return -1;
    // as assigning __name__ would: tp_name points at the UTF-8 of the heap type's name
    auto* heap_type = reinterpret_cast<PyHeapTypeObject*>(state->world_type);
    const char* bare_name = PyUnicode_AsUTF8(heap_type->ht_name);
    if (bare_name == nullptr) return -1;
    heap_type->ht_type.tp_name = bare_name;
    state->buffer_type = PyType_FromModuleAndSpec(module, &WorldBuffer_spec, nullptr);
    if (state->buffer_type == nullptr) return -1;
    if (PyModule_AddStringConstant(module, "__version__", TESSALY_VERSION) < 0) return -1;
    return PyModule_AddObjectRef(module, "World", state->world_type);
}

int tessaly_traverse(PyObject* module, visitproc visit, void* arg) {
    auto* state = static_cast<tessaly_state*>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    Py_VISIT(state->world_type);
    Py_VISIT(state->internal_error);
    Py_VISIT(state->buffer_type);
    return 0;
}

int tessaly_clear(PyObject* module) {
    auto* state = static_cast<tessaly_state*>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    Py_CLEAR(state->world_type);
    Py_CLEAR(state->internal_error);
    Py_CLEAR(state->buffer_type);
    return 0;
}

void tessaly_free(void* module) { tessaly_clear(static_cast<PyObject*>(module)); }

// ---- module definition ----

// Single-phase initialisation: no slots; PyInit_tessaly runs tessaly_exec.
// The state size is not -1 so that a repeated import calls PyInit_tessaly
// again rather than copying the module's dict.
PyModuleDef tessaly_module = {
    PyModuleDef_HEAD_INIT,
    "tessaly",
    "Cellular Potts Model simulator.",
    static_cast<Py_ssize_t>(sizeof(tessaly_state)),
    nullptr,
    nullptr,
    tessaly_traverse,
    tessaly_clear,
    tessaly_free,
};

}  // namespace

}  // namespace tessaly::binding

// ---- PyInit_tessaly ----

PyMODINIT_FUNC PyInit_tessaly(void) {
    using namespace tessaly::binding;
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (tessaly_module_object != nullptr) {
        if (interpreter == tessaly_interpreter) return Py_NewRef(tessaly_module_object);
        PyErr_SetString(PyExc_ImportError,
                        "tessaly is already loaded in another interpreter of this process; "
                        "it supports one interpreter per process");
        return nullptr;
    }
    PyObject* module = PyModule_Create(&tessaly_module);
    if (module == nullptr) return nullptr;
    if (tessaly_exec(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    tessaly_module_object = Py_NewRef(module);
    tessaly_interpreter = interpreter;
    return module;
}
