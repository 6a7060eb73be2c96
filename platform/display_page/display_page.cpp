#include "display_page/display_page.h"

#include <vector>

struct DisplayPage {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;
    bool with_display = false;
    // Made at the first copy onto a control on the screen; sent at each copy
    // what was drawn here since: the rectangles filled with one value as
    // `fills`, in order, the rest as `stale`.
    OsSurface* shown = nullptr;
    Area stale;
    std::vector<OsFill> fills;
};

namespace {

using Block = PageBlock<DisplayPage>;

// The blocks copied onto a control by the display and not yet made in its
// own pixels, in order. A strip copied on every pass mostly never is.
struct Owed {
    OsWindow* window;
    std::vector<Block> blocks;
};

// The window thread's, as every window and page is.
std::vector<Owed> owing;

Owed* owed_to(OsWindow* window) {
    for (Owed& o : owing) {
        if (o.window == window) {
            return &o;
        }
    }
    return nullptr;
}

// Makes the blocks owed to `window` in its own pixels, in order, where they
// fall in `area`; what lies outside it stays owed, in up to four pieces a
// block.
void make_owed(OsWindow* window, const Area& area) {
    // Called before every drawing call on a control or a page: most find
    // nothing owed there, and cost no allocation.
    Owed* owed = owed_to(window);
    if (!owed || std::none_of(owed->blocks.begin(), owed->blocks.end(),
                              [&](const Block& b) { return !common(b.to, area).empty(); })) {
        return;
    }
    const OsPixels to = os_window_pixels(window);
    std::vector<Block> still;
    for (const Block& b : owed->blocks) {
        const Area part = common(b.to, area);
        if (part.empty()) {
            still.push_back(b);
            continue;
        }
        const Area read = b.read(part);
        copy_rows(to.data, to.width, part.x, part.y, b.from->pixels.data(), b.from->width, read.x,
                  read.y, part.w, part.h);
        each_piece_outside(b.to, part, [&](const Area& piece) {
            const Area from = b.read(piece);
            still.push_back(Block{b.from, from.x, from.y, piece});
        });
    }
    owed->blocks.swap(still);
    if (owed->blocks.empty()) {
        std::erase_if(owing, [&](const Owed& o) { return o.window == window; });
    }
}

// Makes the blocks owed from `area` of `page`, in every control, before the
// page changes there.
void make_owed_from(DisplayPage* page, const Area& area) {
    // From the back: making them may take a control out of `owing`, and
    // only that one.
    for (size_t i = owing.size(); i-- > 0;) {
        OsWindow* window = owing[i].window;
        std::vector<Area> reading;
        for (const Block& b : owing[i].blocks) {
            const Area part = common(Area{b.from_x, b.from_y, b.to.w, b.to.h}, area);
            if (b.from == page && !part.empty()) {
                reading.push_back(
                    Area{part.x + b.to.x - b.from_x, part.y + b.to.y - b.from_y, part.w, part.h});
            }
        }
        for (const Area& r : reading) {
            make_owed(window, r);
        }
    }
}

void forget(OsWindow* window) {
    std::erase_if(owing, [&](const Owed& o) { return o.window == window; });
}

} // namespace

DisplayPage* display_page_create(int width, int height, bool with_display) {
    auto* page = new DisplayPage;
    page->width = width;
    page->height = height;
    page->pixels.assign(static_cast<size_t>(width) * height, 0);
    page->with_display = with_display;
    if (with_display) {
        // The toolkit asks for what is owed before it reads a control's
        // pixels, and says when a control goes.
        os_set_page_events(OsPageEvents{make_owed, forget});
    }
    return page;
}

void display_page_destroy(DisplayPage* page) {
    if (page) {
        make_owed_from(page, Area{0, 0, page->width, page->height});
        os_surface_destroy(page->shown);
        delete page;
    }
}

OsPixels display_page_pixels(DisplayPage* page, const Area& area, bool drawing) {
    if (drawing && page->shown && !owing.empty()) {
        make_owed_from(page, area);
    }
    return OsPixels{page->pixels.data(), page->width, page->height};
}

OsPixels display_window_pixels(OsWindow* window, const Area& area) {
    make_owed(window, area);
    return os_window_pixels(window);
}

void display_page_drawn(DisplayPage* page, const Area& changed,
                        std::optional<uint32_t> filled_with) {
    if (!page->shown || changed.empty()) {
        return;
    }
    // Past a few fills the rest go as pixels, so that what is owed to the
    // display stays small whatever a caller draws.
    constexpr size_t kMostFills = 64;
    if (filled_with && page->fills.size() < kMostFills) {
        page->fills.push_back(OsFill{changed, *filled_with});
    } else {
        page->stale = joined(page->stale, changed);
    }
}

bool display_page_copy(DisplayPage* from, OsWindow* window, const Area& to, int from_x,
                       int from_y) {
    if (!from->with_display) {
        return false;
    }
    if (!from->shown) {
        // Made at the first copy, when the control is on the screen.
        from->shown =
            os_surface_create(window, OsPixels{from->pixels.data(), from->width, from->height});
        if (!from->shown) {
            return false;
        }
        from->stale = Area{0, 0, from->width, from->height};
    }
    os_surface_upload(from->shown, from->stale, from->fills.data(),
                      static_cast<int>(from->fills.size()));
    from->stale = Area{};
    from->fills.clear();
    if (!os_window_copy(window, to, from->shown, from_x, from_y)) {
        return false;
    }
    Owed* owed = owed_to(window);
    if (!owed) {
        owed = &owing.emplace_back(Owed{window, {}});
    }
    add_block(owed->blocks, Block{from, from_x, from_y, to});
    // Blocks that never cover each other are made at once past a few, so
    // that what is owed stays small whatever a caller copies.
    constexpr size_t kMostOwed = 64;
    if (owed->blocks.size() > kMostOwed) {
        const OsPixels pixels = os_window_pixels(window);
        make_owed(window, Area{0, 0, pixels.width, pixels.height});
    }
    return true;
}
