// An inline small vector: N elements live in the object itself, more spill
// to the heap. Neighbour lists, face lists and surface-delta lists use it so
// that the copy attempt allocates nothing in the common case.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

namespace tessaly {

template <typename T, std::size_t N>
class SmallVec {
    static_assert(std::is_trivially_copyable_v<T>, "SmallVec holds plain values only");

public:
    SmallVec() = default;
    SmallVec(const SmallVec& other) { copy_from(other); }
    SmallVec& operator=(const SmallVec& other) {
        if (this != &other) {
            size_ = 0;
            copy_from(other);
        }
        return *this;
    }
    ~SmallVec() = default;

    void push_back(const T& value) {
        if (size_ == capacity_) grow();
        data()[size_++] = value;
    }
    void clear() { size_ = 0; }
    // Makes the list hold `count` elements, contents to be written by the caller.
    T* prepare(std::size_t count) {
        while (capacity_ < count) grow();
        size_ = count;
        return data();
    }
    // Keeps the first `count` elements; count must not exceed the size.
    void truncate(std::size_t count) { size_ = count; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    T* data() { return heap_ ? heap_.get() : inline_; }
    const T* data() const { return heap_ ? heap_.get() : inline_; }
    T& operator[](std::size_t i) { return data()[i]; }
    const T& operator[](std::size_t i) const { return data()[i]; }
    T* begin() { return data(); }
    T* end() { return data() + size_; }
    const T* begin() const { return data(); }
    const T* end() const { return data() + size_; }

private:
    void grow() {
        std::size_t capacity = capacity_ * 2;
        std::unique_ptr<T[]> heap(new T[capacity]);
        std::memcpy(heap.get(), data(), size_ * sizeof(T));
        heap_ = std::move(heap);
        capacity_ = capacity;
    }
    void copy_from(const SmallVec& other) {
        while (capacity_ < other.size_) grow();
        std::memcpy(data(), other.data(), other.size_ * sizeof(T));
        size_ = other.size_;
    }

    T inline_[N];
    std::unique_ptr<T[]> heap_;
    std::size_t size_ = 0;
    std::size_t capacity_ = N;
};

}  // namespace tessaly
