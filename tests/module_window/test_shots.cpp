// Pictures of every module type's window, full and compact, for the screenshot script. Runs only
// when KV_SHOTS_DIR names the folder to write them into.
#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <cstdlib>
#include <gtest/gtest.h>

#include "engine/engine.h"
#include "modules/config_file.h"
#include "modules/presets.h"
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

TEST(ModuleWindowShots, APresetOnTheDesktop) {
    const char* dir = std::getenv("KV_SHOTS_DIR");
    if (!dir || !*dir) GTEST_SKIP() << "KV_SHOTS_DIR is not set";
    EngineState state;
    Engine engine{state};
    ModuleRegistry registry{&engine};
    ModuleWindows windows{registry};
    // The preset with the most modules.
    LoadTarget target;
    target.registry = &registry;
    const PresetInfo* preset = nullptr;
    int most = 0;
    for (const PresetInfo& p : presetTable()) {
        if (!presetAvailable(p) || !loadPreset(target, p)) continue;
        if (registry.totalCount() > most) {
            most = registry.totalCount();
            preset = &p;
        }
    }
    ASSERT_NE(preset, nullptr);
    ASSERT_TRUE(loadPreset(target, *preset));
    windows.openAll();
    QApplication::processEvents();
    // The desktop drawn from the windows themselves, each within its shape, in list order.
    // The main window's client area starts where every window is on the desktop.
    QPoint origin(0, 0);
    for (ModuleWindow* w : windows.windows())
        origin = QPoint(std::min(origin.x(), w->pos().x()), std::min(origin.y(), w->pos().y()));
    origin = QPoint(20, 20) - origin;
    QPixmap desktop(1280, 1024);
    desktop.fill(QColor(0x30, 0x40, 0x50));
    QPainter painter(&desktop);
    int drawn = 0;
    for (ModuleWindow* w : windows.windows()) {
        const QRect visible = w->visibleRect();
        const QPoint at = w->pos() + origin;
        painter.save();
        QPainterPath shape;
        shape.addRoundedRect(QRectF(at, QSizeF(visible.width() + 1, visible.height() + 1)), 15, 15);
        painter.setClipPath(shape);
        painter.drawPixmap(at, w->grab(visible));
        painter.restore();
        ++drawn;
    }
    painter.end();
    EXPECT_GT(drawn, 0);
    EXPECT_TRUE(desktop.save(QString("%1/preset_desktop.png").arg(dir)));
}

} // namespace
} // namespace kv::ui
