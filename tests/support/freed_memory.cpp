#include "support/freed_memory.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace qe::test {
namespace {

std::atomic<const std::string*> g_marker{nullptr};
std::atomic<int> g_times{1};
std::atomic<int> g_hits{0};

bool Holds(const char* block, std::size_t size, const std::string& marker, int times) {
    const char* end = block + size;
    for (const char* at = block; times > 0; at += 1, --times) {
        at = static_cast<const char*>(
            memmem(at, static_cast<std::size_t>(end - at), marker.data(), marker.size()));
        if (at == nullptr) {
            return false;
        }
    }
    return true;
}

}  // namespace

FreedMemoryWatch::FreedMemoryWatch(std::string marker, int times)
    : marker_(std::move(marker)), times_(times) {
    g_hits = 0;
    g_times = times_;
    g_marker = &marker_;
}

FreedMemoryWatch::~FreedMemoryWatch() {
    g_marker = nullptr;
}

int FreedMemoryWatch::hits() const {
    return g_hits;
}

}  // namespace qe::test

void* operator new(std::size_t size) {
    if (void* block = std::malloc(size != 0 ? size : 1)) {
        return block;
    }
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept {
    const std::string* marker = qe::test::g_marker;
    if (block != nullptr && marker != nullptr &&
        qe::test::Holds(static_cast<const char*>(block), malloc_usable_size(block), *marker,
                        qe::test::g_times)) {
        ++qe::test::g_hits;
    }
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    operator delete(block);
}
