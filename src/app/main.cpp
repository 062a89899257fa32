// kalvitrope: the desktop program. Needs an X11 display (XWayland on a Wayland desktop);
// kalvitrope-cli renders and plays patches without one.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/startup.h"
#include "ui/program_icon.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (const std::string answer = kv::app::consoleAnswer(args); !answer.empty()) {
        std::fputs(answer.c_str(), stdout);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    }
    // Qt may pick its Wayland platform; the mouse as instrument needs X11, so XWayland is used.
    if (!std::getenv("QT_QPA_PLATFORM")) {
        if (!kv::app::x11DisplayAvailable()) {
            std::fprintf(stderr, "%s\n", kv::app::kNoDisplayMessage);
            return 2;
        }
        setenv("QT_QPA_PLATFORM", "xcb", 1);
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kalvitrope"));
    QApplication::setWindowIcon(kv::ui::programIcon());
    return kv::app::runProgram(args);
}
