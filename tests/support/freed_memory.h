#pragma once

#include <string>

namespace qe::test {

// Watches the memory a test program gives back through operator delete: while a watch lives,
// every freed block is searched for the marker, so a secret left in released memory (a buffer not
// wiped before it went) is counted. freed_memory.cpp replaces the program's global operator
// new/delete: link it (qe_test_freed_memory) only into programs that use a watch.
class FreedMemoryWatch {
public:
    // A block counts when it holds the marker at least `times` times: text typed key by key is
    // kept one character a record, so a character repeated in the PIN is what can be found.
    explicit FreedMemoryWatch(std::string marker, int times = 1);
    ~FreedMemoryWatch();
    FreedMemoryWatch(const FreedMemoryWatch&) = delete;
    FreedMemoryWatch& operator=(const FreedMemoryWatch&) = delete;

    // Freed blocks that still held the marker since the watch began.
    int hits() const;

private:
    std::string marker_;
};

}  // namespace qe::test
