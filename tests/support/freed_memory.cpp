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

}  // namespace

FreedMemoryWatch::FreedMemoryWatch(std::string marker, int times) : marker_(std::move(marker)) {
    g_hits = 0;
    g_times = times;
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
    if (const std::string* marker = qe::test::g_marker; block != nullptr && marker != nullptr) {
        const char* at = static_cast<const char*>(block);
        const char* end = at + malloc_usable_size(block);
        int found = 0;
        while (found < qe::test::g_times &&
               (at = static_cast<const char*>(memmem(at, static_cast<std::size_t>(end - at),
                                                     marker->data(), marker->size())))) {
            ++at, ++found;
        }
        qe::test::g_hits += found == qe::test::g_times ? 1 : 0;
    }
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    operator delete(block);
}
