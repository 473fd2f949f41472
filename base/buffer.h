#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace base {

// A small reference-counted heap byte buffer. Copies share the bytes; the last copy to go frees
// them. Allocation failure raises out_of_memory_exception_t.
class buffer_t {
  public:
    // An empty buffer that owns nothing.
    buffer_t() noexcept = default;
    // size zero-filled bytes on the heap.
    explicit buffer_t(std::size_t size);
    buffer_t(const buffer_t& other) noexcept;
    buffer_t(buffer_t&& other) noexcept;
    buffer_t& operator=(const buffer_t& other) noexcept;
    buffer_t& operator=(buffer_t&& other) noexcept;
    ~buffer_t();

    std::uint8_t* data() noexcept;
    const std::uint8_t* data() const noexcept;
    std::size_t size() const noexcept;
    // Number of buffer_t sharing these bytes; 0 for a buffer that owns nothing.
    std::uint32_t use_count() const noexcept;

  private:
    struct block_t;
    void release() noexcept;

    block_t* block_ = nullptr;
};

// The process-wide buffer, allocated when the program is loaded.
const buffer_t& process_buffer() noexcept;

}  // namespace base
