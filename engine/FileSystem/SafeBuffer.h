// A heap array whose size is fixed at construction and which frees itself.
#pragma once

#include <cstdint>
#include <new>

namespace kiln {

template <class T>
class SafeBuffer {
public:
    // An allocation failure gives an empty buffer (size 0, null data).
    explicit SafeBuffer(uint32_t size) : size_(size), data_(new (std::nothrow) T[size]()) {
        if (data_ == nullptr) {
            size_ = 0;
        }
    }
    virtual ~SafeBuffer() {
        delete[] data_;
        size_ = 0;
        data_ = nullptr;
    }
    SafeBuffer(const SafeBuffer&) = delete;
    SafeBuffer& operator=(const SafeBuffer&) = delete;

    uint32_t size() const { return size_; }
    T* data() const { return data_; }

private:
    uint32_t size_;
    T* data_;
};

}  // namespace kiln
