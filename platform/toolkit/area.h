// The one rectangle of the display path, in device pixels, and what the
// path does with rectangles: join them, cut one out of another, copy the
// pixels of one. Pages, the toolkit's presentation and the Wayland pane all
// use these, so a rule about edges is written once.
#pragma once

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <vector>

struct Area {
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
    bool empty() const { return w <= 0 || h <= 0; }
    int right() const { return x + w; }
    int bottom() const { return y + h; }
};

// The smallest area holding both; an empty one adds nothing.
inline Area joined(const Area& a, const Area& b) {
    if (a.empty()) {
        return b;
    }
    if (b.empty()) {
        return a;
    }
    const int left = std::min(a.x, b.x);
    const int top = std::min(a.y, b.y);
    return Area{left, top, std::max(a.right(), b.right()) - left,
                std::max(a.bottom(), b.bottom()) - top};
}

// What the two share; empty when nothing.
inline Area common(const Area& a, const Area& b) {
    const int left = std::max(a.x, b.x);
    const int top = std::max(a.y, b.y);
    const Area part{left, top, std::min(a.right(), b.right()) - left,
                    std::min(a.bottom(), b.bottom()) - top};
    return part.empty() ? Area{} : part;
}

inline bool inside(const Area& inner, const Area& outer) {
    return !inner.empty() && inner.x >= outer.x && inner.y >= outer.y &&
           inner.right() <= outer.right() && inner.bottom() <= outer.bottom();
}

// The parts of `a` outside `cut`, in up to four pieces (above, below, left,
// right), each passed to `piece`.
template <class Piece> void each_piece_outside(const Area& a, const Area& cut, Piece piece) {
    const Area part = common(a, cut);
    if (part.empty()) {
        if (!a.empty()) {
            piece(a);
        }
        return;
    }
    const Area pieces[] = {{a.x, a.y, a.w, part.y - a.y},
                           {a.x, part.bottom(), a.w, a.bottom() - part.bottom()},
                           {a.x, part.y, part.x - a.x, part.h},
                           {part.right(), part.y, a.right() - part.right(), part.h}};
    for (const Area& p : pieces) {
        if (!p.empty()) {
            piece(p);
        }
    }
}

// Copies w x h pixels from (from_x, from_y) of `from` (rows of `from_stride`)
// to (x, y) of `to` (rows of `to_stride`).
inline void copy_rows(uint32_t* to, int to_stride, int x, int y, const uint32_t* from,
                      int from_stride, int from_x, int from_y, int w, int h) {
    for (int row = 0; row < h; ++row) {
        memcpy(to + static_cast<size_t>(y + row) * to_stride + x,
               from + static_cast<size_t>(from_y + row) * from_stride + from_x,
               static_cast<size_t>(w) * sizeof(uint32_t));
    }
}

// A block copied from (from_x, from_y) of a page onto `to` of a control.
template <class Page> struct PageBlock {
    Page* from;
    int from_x;
    int from_y;
    Area to;
    // Where `part` (inside `to`) is read from.
    Area read(const Area& part) const {
        return Area{from_x + part.x - to.x, from_y + part.y - to.y, part.w, part.h};
    }
};

// Adds `block` to the blocks to be copied in order, dropping what it makes
// needless: what it covers needs no earlier block. With the block before
// it, side by side, it may cover a whole strip; then the strips of passes
// that came within one frame are not all copied.
template <class Page>
void add_block(std::vector<PageBlock<Page>>& list, const PageBlock<Page>& block) {
    const Area& to = block.to;
    Area cover = to;
    size_t keep = list.size();
    if (keep > 0) {
        const Area& last = list.back().to;
        if (last.y == to.y && last.h == to.h && (last.right() == to.x || to.right() == last.x)) {
            cover = joined(last, to);
            --keep;
        }
    }
    for (size_t i = keep; i-- > 0;) {
        if (inside(list[i].to, cover)) {
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    list.push_back(block);
}
