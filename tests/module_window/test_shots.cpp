// Pictures of every module type's window, full and compact, for the screenshot script. Runs only
// when KV_SHOTS_DIR names the folder to write them into.
#include <QDir>
#include <QPixmap>
#include <cstdlib>
#include <gtest/gtest.h>

#include "engine/engine.h"
#include "ui/module_window/module_window.h"

namespace kv::ui {
namespace {

TEST(ModuleWindowShots, EveryTypeFullAndCompact) {
    const char* dir = std::getenv("KV_SHOTS_DIR");
    if (!dir || !*dir) GTEST_SKIP() << "KV_SHOTS_DIR is not set";
    ASSERT_TRUE(QDir().mkpath(dir));
    EngineState state;
    Engine engine{state};
    ModuleRegistry registry{&engine};
    ModuleWindows windows{registry};
    for (int type = 0; type < kTypeCount; ++type) {
        Module* m = registry.addModule(type);
        ASSERT_NE(m, nullptr) << type;
        ModuleWindow* w = windows.open(*m);
        const QString base = QString("%1/module_%2_%3")
                                 .arg(dir)
                                 .arg(type, 2, 10, QChar('0'))
                                 .arg(QString::fromLatin1(firstSectionName(type).data(),
                                                          firstSectionName(type).size()));
        EXPECT_TRUE(w->grab(w->visibleRect()).save(base + "_full.png")) << type;
        w->applyShowState(kShowCompact);
        EXPECT_TRUE(w->grab(w->visibleRect()).save(base + "_compact.png")) << type;
    }
}

} // namespace
} // namespace kv::ui
