// The built-in presets place their module windows on a 1280x720 desktop whose top-left corner
// holds the main window at its default size: every window on the desktop, none over the main
// window, none over another (only the part a window's show state leaves visible counts).
#include <gtest/gtest.h>

#include <vector>

#include "engine/engine.h"
#include "modules/module_registry.h"
#include "modules/presets.h"
#include "persistence/language.h"
#include "ui/module_window/module_layout.h"

namespace kv::ui {
namespace {

struct Box {
    long left, top, right, bottom; // right and bottom exclusive
    bool overlaps(const Box& o) const {
        return left < o.right && o.left < right && top < o.bottom && o.top < bottom;
    }
};

class PresetLayout : public ::testing::TestWithParam<DialogUnits> {};

// The nominal dialog units, and those of an 8-point DejaVu Sans (a common desktop font).
INSTANTIATE_TEST_SUITE_P(Fonts, PresetLayout,
                         ::testing::Values(DialogUnits{1.5, 1.625}, DialogUnits{1.4, 1.6}));

TEST_P(PresetLayout, WindowsFitTheDesktopBesideTheMainWindow) {
    languages().initLanguages({});
    const DialogUnits du = GetParam();
    const Box desktop{0, 0, 1280, 720};
    // The main window: 240 x 250 dialog units; module positions are in its client coordinates.
    const Box mainWindow{0, 0, unitsToPixelsX(240, du), unitsToPixelsY(250, du)};
    EngineState state;
    Engine engine{state};
    ModuleRegistry registry{&engine};
    LoadTarget target;
    target.registry = &registry;
    target.engine = &engine;
    int checked = 0;
    for (const PresetInfo& p : presetTable()) {
        if (p.submenu == kPresetsExamples || !presetAvailable(p)) continue;
        ++checked;
        ASSERT_TRUE(loadPreset(target, p));
        std::vector<std::pair<Box, std::string>> placed;
        for (int t = 0; t < kTypeCount; ++t)
            for (const Module* m : registry.modules(t)) {
                const WindowLayout layout = layoutModuleWindow(t, du);
                const long w = unitsToPixelsX(layout.width, du);
                const long h = unitsToPixelsY(layout.height, du);
                long visible = h;
                const int show = m->showState.load();
                if (show == 5) visible = static_cast<long>((22 + 24) * du.y) + 12;
                if (show == 3) visible = static_cast<long>(24 * du.y) + 8;
                const long left = m->positionX - w / 2, top = m->positionY - h / 2;
                const Box box{left, top, left + w, top + visible};
                const std::string who = std::string(p.name) + ": " + m->name;
                EXPECT_TRUE(box.left >= desktop.left && box.top >= desktop.top &&
                            box.right <= desktop.right && box.bottom <= desktop.bottom)
                    << who << " leaves the desktop: " << box.left << "," << box.top << " "
                    << box.right << "," << box.bottom;
                EXPECT_FALSE(box.overlaps(mainWindow)) << who << " covers the main window";
                for (const auto& [other, name] : placed)
                    EXPECT_FALSE(box.overlaps(other))
                        << who << " covers " << name << " at " << box.left << "," << box.top << " "
                        << box.right << "," << box.bottom << " vs " << other.left << ","
                        << other.top << " " << other.right << "," << other.bottom;
                placed.emplace_back(box, m->name);
            }
    }
    EXPECT_GT(checked, 0);
}

} // namespace
} // namespace kv::ui
