#include "ui/program_icon.h"

#include <QPainter>
#include <QPixmap>
#include <cmath>

namespace kv::ui {

QIcon programIcon() {
    static const QIcon icon = [] {
        QIcon result;
        for (int size : {16, 24, 32, 48, 64}) {
            QPixmap pixmap(size, size);
            pixmap.fill(Qt::transparent);
            QPainter p(&pixmap);
            p.setRenderHint(QPainter::Antialiasing);
            const double r = size / 2.0 - 1;
            const QPointF c(size / 2.0, size / 2.0);
            p.setBrush(QColor(0x7D, 0x4A, 0x80));
            p.setPen(QPen(QColor(0xEB, 0xE0, 0xDA), std::max(1.0, size / 16.0)));
            p.drawEllipse(c, r, r);
            // Spokes of the wheel.
            for (int i = 0; i < 6; ++i) {
                const double a = i * M_PI / 3;
                p.drawLine(c, c + QPointF(std::cos(a) * r * 0.8, std::sin(a) * r * 0.8));
            }
            p.end();
            result.addPixmap(pixmap);
        }
        return result;
    }();
    return icon;
}

} // namespace kv::ui
