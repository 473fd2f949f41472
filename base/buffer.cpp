#include "base/buffer.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "base/exception.h"

namespace base {

// The count and size sit in front of the bytes, in one allocation.
struct buffer_t::block_t {
    std::atomic<std::uint32_t> references;
    std::size_t size;

    std::uint8_t* bytes() noexcept { return reinterpret_cast<std::uint8_t*>(this + 1); }
};

buffer_t::buffer_t(std::size_t size) {
    if (size > std::numeric_limits<std::size_t>::max() - sizeof(block_t)) {
        throw out_of_memory_exception_t();
    }
    void* memory = std::malloc(sizeof(block_t) + size);
    if (memory == nullptr) {
        throw out_of_memory_exception_t();
    }
    block_ = new (memory) block_t{{1}, size};
    std::memset(block_->bytes(), 0, size);
}

buffer_t::buffer_t(const buffer_t& other) noexcept : block_(other.block_) {
    if (block_ != nullptr) {
        block_->references.fetch_add(1, std::memory_order_relaxed);
    }
}

buffer_t::buffer_t(buffer_t&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}

buffer_t& buffer_t::operator=(const buffer_t& other) noexcept {
    if (block_ != other.block_) {
        buffer_t copy(other);
        *this = std::move(copy);
    }
    return *this;
}

buffer_t& buffer_t::operator=(buffer_t&& other) noexcept {
    if (this != &other) {
        release();
        block_ = std::exchange(other.block_, nullptr);
    }
    return *this;
}

buffer_t::~buffer_t() {
    release();
}

void buffer_t::release() noexcept {
    if (block_ == nullptr) {
        return;
    }
    if (block_->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        block_->~block_t();
        std::free(block_);
    }
    block_ = nullptr;
}

std::uint8_t* buffer_t::data() noexcept {
    return block_ == nullptr ? nullptr : block_->bytes();
}

const std::uint8_t* buffer_t::data() const noexcept {
    return block_ == nullptr ? nullptr : block_->bytes();
}

std::size_t buffer_t::size() const noexcept {
    return block_ == nullptr ? 0 : block_->size;
}

std::uint32_t buffer_t::use_count() const noexcept {
    return block_ == nullptr ? 0 : block_->references.load(std::memory_order_relaxed);
}

namespace {

// Allocated at load; a heap that refuses even this ends the program before main.
const buffer_t g_process_buffer(0);

}  // namespace

const buffer_t& process_buffer() noexcept {
    return g_process_buffer;
}

}  // namespace base
