// Read-outs: Python lists built from the engine's columns, one object per
// distinct value.

#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "declare.hpp"

namespace tessaly::binding {

// One column of cell_table (or an attribute): a 1-D memoryview of `format` over a fresh
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

// Returns a new reference to a list of n items, item i made by make(i)
// (a new reference, or NULL with an exception set).
template <typename Make>
PyObject* make_list(std::size_t n, Make make) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = make(i);
        if (item == nullptr) throw PythonError{};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// One Python object per distinct value within a read-out: a list of
// millions of sites holds few distinct ids (and often long runs of one
// concentration), so the list costs its pointers and little more. Values
// are keyed by their bits, in an open-addressing table of at most
// `max_kept` entries; values beyond it get objects of their own.
class Interned {
public:
    Interned() = default;
    Interned(const Interned&) = delete;
    Interned& operator=(const Interned&) = delete;
    ~Interned() {
        for (const Entry& e : table_) Py_XDECREF(e.object);
    }

    // Returns a new reference to the object for `key`, made by make() (a new
    // reference, or NULL with an exception set) on first sight.
    template <typename Make>
    PyObject* get(std::uint64_t key, Make make) {
        if (last_ != nullptr && key == last_key_) return Py_NewRef(last_);  // runs along rows
        if (table_.empty()) rehash(1024);
        std::size_t i = slot_of(key);
        while (table_[i].object != nullptr) {
            if (table_[i].key == key) return remember(key, table_[i].object);
            i = (i + 1) & (table_.size() - 1);
        }
        PyObject* object = make();
        if (object == nullptr || used_ >= max_kept) return object;
        table_[i] = {key, Py_NewRef(object)};
        if (++used_ * 2 > table_.size()) rehash(table_.size() * 2);
        last_key_ = key;
        last_ = object;  // the table holds it
        return object;
    }

private:
    struct Entry {
        std::uint64_t key;
        PyObject* object;  // owned; NULL: free
    };
    static constexpr std::size_t max_kept = std::size_t{1} << 20;

    std::size_t slot_of(std::uint64_t key) const {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> shift_);
    }
    // Returns a new reference to `object`, which the table holds, and
    // remembers it as the last one.
    PyObject* remember(std::uint64_t key, PyObject* object) {
        last_key_ = key;
        last_ = object;
        return Py_NewRef(object);
    }
    void rehash(std::size_t size) {
        std::vector<Entry> old(size, Entry{0, nullptr});
        old.swap(table_);
        shift_ = 64 - static_cast<unsigned>(std::countr_zero(size));
        for (const Entry& e : old)
            if (e.object != nullptr) {
                std::size_t i = slot_of(e.key);
                while (table_[i].object != nullptr) i = (i + 1) & (table_.size() - 1);
                table_[i] = e;
            }
    }

    std::vector<Entry> table_;
    std::size_t used_ = 0;
    unsigned shift_ = 64;
    std::uint64_t last_key_ = 0;
    PyObject* last_ = nullptr;  // borrowed from the table
};

// Returns a new reference to a list of the integers value(item), one per item.
template <typename T, typename Value>
PyObject* make_int_list(const std::vector<T>& items, Value value) {
    Interned interned;
    return make_list(items.size(), [&](std::size_t i) {
        const long long v = static_cast<long long>(value(items[i]));
        return interned.get(static_cast<std::uint64_t>(v), [&] { return PyLong_FromLongLong(v); });
    });
}

// Returns a new reference to a list of the floats value(item), one per item.
template <typename T, typename Value>
PyObject* make_float_list(const std::vector<T>& items, Value value) {
    Interned interned;
    return make_list(items.size(), [&](std::size_t i) {
        const double v = static_cast<double>(value(items[i]));
        return interned.get(std::bit_cast<std::uint64_t>(v), [&] { return PyFloat_FromDouble(v); });
    });
}

// Returns a new reference to the tuple (a, b, c).
inline PyObject* make_triple(PyObject* a, PyObject* b, PyObject* c) {
    Ref x(a), y(b), z(c);
    if (x.get() == nullptr || y.get() == nullptr || z.get() == nullptr) return nullptr;
    return PyTuple_Pack(3, x.get(), y.get(), z.get());
}

template <typename T, typename Make>
PyObject* make_list_of(const std::vector<T>& items, Make make) {
    return make_list(items.size(), [&](std::size_t i) { return make(items[i]); });
}

}  // namespace tessaly::binding
