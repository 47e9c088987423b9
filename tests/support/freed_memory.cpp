#include "support/freed_memory.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace qe::test {
namespace {

std::atomic<const std::string*> g_marker{nullptr};
std::atomic<int> g_hits{0};

}  // namespace

FreedMemoryWatch::FreedMemoryWatch(std::string marker) : marker_(std::move(marker)) {
    g_hits = 0;
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
        memmem(block, malloc_usable_size(block), marker->data(), marker->size()) != nullptr) {
        ++qe::test::g_hits;
    }
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    operator delete(block);
}
