// The views: a buffer exporter that shows a World's arrays in place, and the
// methods site_view and field_view (activity_view sits with the Act model).

#include "declare.hpp"  // first: it includes Python.h

#include <type_traits>

#include "field.hpp"
#include "world.hpp"

namespace tessaly::binding {

// ---- the buffer exporter ----

namespace {

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

}  // namespace

PyType_Spec WorldBuffer_spec = {
    "tessaly.WorldBuffer",
    static_cast<int>(sizeof(WorldBufferObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    WorldBuffer_slots,
};

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

// ---- methods: views ----

const Method World_site_view{
    "site_view", shared, params(),
    "A read-only memoryview of the site ids without a copy: format 'I',\n"
    "shape (nz, ny, nx), so view[z, y, x] is site x + nx*(y + ny*z). It shows\n"
    "the live lattice and keeps the World alive.",
    [](PyObject* self) -> PyObject* { return make_view(self, -1); }};

const Method World_field_view{
    "field_view", shared, params(arg("field_idx")),
    "A writable memoryview of field `field_idx`'s concentrations without a\n"
    "copy: format 'f', shape (nz, ny, nx); writing into it sets the field.",
    [](PyObject* self, std::size_t field_idx) -> PyObject* {
        tessaly::field_at(current(self), field_idx);  // checked
        return make_view(self, static_cast<Py_ssize_t>(field_idx));
    }};

}  // namespace tessaly::binding
