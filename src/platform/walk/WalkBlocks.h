#pragma once
// The walk's lists of pending files and paths, in large blocks that never move. Used by one
// thread at a time.

#include "platform/memory/LargePages.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

namespace harkwell::walk {

// A walk's own blocks start small, for the usual vault, and each is twice the last up to this size,
// so that a large tree takes a few large blocks, which the system can back by large pages.
inline constexpr size_t kLargestBlock = 8 * 1024 * 1024;

// Items kept in blocks that never move, so that a growing list hands out lasting pointers and takes
// a few large blocks rather than one small block per item. An item is made when it is added, so a
// block's pages are first touched as it fills, not all at once when it is taken.
template <typename T, size_t First>
class Blocks {
public:
    Blocks() = default;
    Blocks(const Blocks&) = delete;
    Blocks& operator=(const Blocks&) = delete;
    ~Blocks()
    {
        for (size_t block = 0; block < m_blocks.size(); ++block) {
            std::destroy_n(m_blocks[block].items, used(block));
            std::allocator<T>().deallocate(m_blocks[block].items, m_blocks[block].capacity);
        }
    }

    bool full() const { return m_blocks.empty() || m_used == m_blocks.back().capacity; }
    size_t size() const { return m_size; }
    T& add()
    {
        if (full())
            grow();
        T* const item = std::construct_at(m_blocks.back().items + m_used);
        ++m_used;
        ++m_size;
        return *item;
    }
    template <typename Visit>
    void forEach(Visit visit)
    {
        for (size_t block = 0; block < m_blocks.size(); ++block)
            for (size_t index = 0, end = used(block); index < end; ++index)
                if (!visit(m_blocks[block].items[index]))
                    return;
    }

private:
    struct Block {
        T* items;
        size_t capacity;
    };

    size_t used(size_t block) const { return block + 1 == m_blocks.size() ? m_used : m_blocks[block].capacity; }
    void grow()
    {
        const size_t capacity = m_blocks.empty() ? First
                                                 : std::max(m_blocks.back().capacity,
                                                            std::min(m_blocks.back().capacity * 2, kLargestBlock / sizeof(T)));
        m_blocks.reserve(m_blocks.size() + 1);
        T* const items = std::allocator<T>().allocate(capacity);
        LargePages::prefer(items, capacity * sizeof(T));
        m_blocks.push_back({items, capacity});
        m_used = 0;
    }

    std::vector<Block> m_blocks;
    size_t m_used = 0;
    size_t m_size = 0;
};

// Paths one after another, each followed by a NUL, in blocks that never move.
class PathStore {
public:
    // Room for `size` bytes and a NUL.
    char* reserve(size_t size)
    {
        if (m_blocks.empty() || m_used + size + 1 > m_size) {
            m_size = std::max(m_blocks.empty() ? kFirstBlock : std::min(m_size * 2, kLargestBlock), size + 1);
            m_blocks.push_back(std::make_unique_for_overwrite<char[]>(m_size));
            LargePages::prefer(m_blocks.back().get(), m_size);
            m_used = 0;
        }
        char* at = m_blocks.back().get() + m_used;
        m_used += size + 1;
        at[size] = '\0';
        return at;
    }
    std::vector<std::unique_ptr<char[]>> take() { return std::move(m_blocks); }

private:
    static constexpr size_t kFirstBlock = 512 * 1024;
    std::vector<std::unique_ptr<char[]>> m_blocks;
    size_t m_used = 0;
    size_t m_size = 0;
};

}  // namespace harkwell::walk
