#pragma once
// Ending the desktop program as its Exit command does when the session asks it to (SIGTERM, or
// SIGHUP when its terminal goes) or the user presses Ctrl+C in a terminal (SIGINT), whatever box,
// menu or file chooser is open at the time: the open ones end as if closed with Esc, boxes
// opened afterwards are declined, and the main window exits (engine stopped, autosave and
// settings written). User-interface thread.
#include <QObject>
#include <csignal>

class QSocketNotifier;

namespace kv::ui {
class MainWindow;
}

namespace kv::app {

/// The signals that end the program this way.
inline constexpr int kExitSignals[] = {SIGTERM, SIGINT, SIGHUP};

class ExitOnSignal : public QObject {
    Q_OBJECT
  public:
    /// Takes the signals over for `window` (one object at a time); the actions in place before
    /// come back when the object goes.
    explicit ExitOnSignal(ui::MainWindow& window);
    ~ExitOnSignal() override;
    ExitOnSignal(const ExitOnSignal&) = delete;
    ExitOnSignal& operator=(const ExitOnSignal&) = delete;

    /// Whether the signals were taken over (false when no signal pipe could be made).
    bool active() const { return notifier_ != nullptr; }

    /// What a signal does, once it reaches the user-interface thread.
    void exitNow();

  private:
    ui::MainWindow& window_;
    QSocketNotifier* notifier_ = nullptr;
    struct sigaction previous_[std::size(kExitSignals)] = {};
};

} // namespace kv::app
