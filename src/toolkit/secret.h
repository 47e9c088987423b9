#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit/bytes.h"

namespace qe {

// Overwrites memory with zeros in a way the optimiser cannot drop.
void Wipe(void* data, std::size_t size);
// Overwrites the whole capacity in use and empties the container.
void Wipe(Bytes& bytes);
void Wipe(std::string& text);

// Wipes a buffer when the scope ends, on every path.
class WipeOnExit {
public:
    explicit WipeOnExit(Bytes& bytes) : bytes_(bytes) {}
    ~WipeOnExit() { Wipe(bytes_); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    Bytes& bytes_;
};

// Hands out ordinary memory and wipes every block it takes back, so a buffer that grows or goes
// leaves no copy of its content behind.
template <typename T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <typename U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        Wipe(p, n * sizeof(T));
        std::allocator<T>().deallocate(p, n);
    }
    template <typename U>
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
};

// Bytes that wipe themselves: key material, ciphertext and plaintext of deliveries.
using SecretBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

// A PIN or other secret text. Its buffer is wiped when it is replaced or destroyed; it is never
// copied implicitly (Clone makes the one deliberate copy), and moving hands over the buffer itself.
class Secret {
public:
    Secret() = default;
    explicit Secret(std::string_view text);
    Secret(Secret&& other) noexcept;
    Secret& operator=(Secret&& other) noexcept;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    ~Secret();

    Secret Clone() const { return Secret(view()); }
    void Clear();
    // Adds text at the end; a buffer that has to grow wipes the one it leaves.
    void Append(std::string_view text) { buffer_.insert(buffer_.end(), text.begin(), text.end()); }
    // Keeps the first `size` bytes; the rest is wiped at once, not when the buffer goes.
    void Truncate(std::size_t size) {
        size = std::min(size, buffer_.size());
        Wipe(buffer_.data() + size, buffer_.size() - size);
        buffer_.resize(size);
    }

    const char* data() const { return buffer_.data(); }
    std::size_t size() const { return buffer_.size(); }
    bool empty() const { return buffer_.empty(); }
    std::string_view view() const { return {buffer_.data(), buffer_.size()}; }

private:
    std::vector<char, WipingAllocator<char>> buffer_;
};

}  // namespace qe
