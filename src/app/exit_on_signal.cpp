#include "app/exit_on_signal.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ui/button_box.h"
#include "ui/main_window.h"

namespace kv::app {

namespace {

// The handler only writes a byte; the notifier hands it to the user-interface thread, whose
// event loops (the main window's and any box's) all serve it.
int signalPipe[2] = {-1, -1};

extern "C" void onExitSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

ExitOnSignal::ExitOnSignal(ui::MainWindow& window) : window_(window) {
    if (signalPipe[0] >= 0) return; // another object holds the signals
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return;
    ::fcntl(signalPipe[1], F_SETFL, O_NONBLOCK); // a full pipe never blocks the handler
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        [[maybe_unused]] const auto got = ::read(signalPipe[0], bytes, sizeof bytes);
        exitNow();
    });
    struct sigaction ours {};
    ours.sa_handler = &onExitSignal;
    ours.sa_flags = SA_RESTART;
    sigemptyset(&ours.sa_mask);
    for (std::size_t i = 0; i < std::size(kExitSignals); ++i)
        ::sigaction(kExitSignals[i], &ours, &previous_[i]);
}

ExitOnSignal::~ExitOnSignal() {
    if (!notifier_) return;
    for (std::size_t i = 0; i < std::size(kExitSignals); ++i)
        ::sigaction(kExitSignals[i], &previous_[i], nullptr);
    delete notifier_;
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

void ExitOnSignal::exitNow() {
    // No one is there to answer: what asks from now on takes its Esc answer at once.
    ui::setDialogsDeclined(true);
    // Open menus, then open boxes from the top down, each as if closed with Esc. Their callers
    // go on once this returns; the main window's exit waits for them to unwind.
    while (QWidget* popup = QApplication::activePopupWidget()) {
        popup->close();
        if (QApplication::activePopupWidget() == popup) break;
    }
    while (QWidget* modal = QApplication::activeModalWidget()) {
        if (modal == &window_) break;
        if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            dialog->reject();
            if (dialog->isVisible()) dialog->done(QDialog::Rejected);
        } else {
            modal->close();
        }
        if (QApplication::activeModalWidget() == modal) break; // it will not go: leave it
    }
    window_.command(ui::kCmdExit);
}

} // namespace kv::app
