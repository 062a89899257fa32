#pragma once
// A fixed-size array of trivially copyable elements that starts zero-filled without being written
// at creation: large blocks are mapped straight from the system, whose fresh pages are zeroed only
// when first touched (calloc would clear recycled heap memory byte by byte); small ones use calloc.
// Creating a module with megabytes of delay line therefore costs next to nothing until the engine
// actually uses the line. Indexing works as with std::vector.
#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

#include <sys/mman.h>

namespace kv {

template <class T> class ZeroedArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "all-zero bytes must be a valid value");

  public:
    ZeroedArray() = default;
    /// `count` zero elements. Throws std::bad_alloc when the memory cannot be had (creation time,
    /// user-interface thread).
    explicit ZeroedArray(std::size_t count) : size_(count) {
        if (count == 0) return;
        if (count > kMappedBytes / sizeof(T)) {
            void* p = ::mmap(nullptr, bytes(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                             -1, 0);
            if (p == MAP_FAILED) throw std::bad_alloc();
            data_ = static_cast<T*>(p);
        } else {
            data_ = static_cast<T*>(std::calloc(count, sizeof(T)));
            if (!data_) throw std::bad_alloc();
        }
    }
    ~ZeroedArray() { release(); }
    ZeroedArray(const ZeroedArray&) = delete;
    ZeroedArray& operator=(const ZeroedArray&) = delete;
    ZeroedArray(ZeroedArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    ZeroedArray& operator=(ZeroedArray&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }

    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }

  private:
    static constexpr std::size_t kMappedBytes = 256 * 1024;
    std::size_t bytes() const { return size_ * sizeof(T); }
    void release() {
        if (!data_) return;
        if (bytes() > kMappedBytes)
            ::munmap(data_, bytes());
        else
            std::free(data_);
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace kv
