#pragma once
// One request to the web site on a thread of its own, so that the window that asked stays
// responsive: the window starts it and later takes the answer (it polls; the request thread never
// calls into a window). Owned and driven by one thread (the user-interface thread); the request
// runs on its own.
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "online/http_client.h"

namespace kv::online {

class OnlineTask {
  public:
    OnlineTask() = default;
    /// Gives up a request that is still running: it is cancelled and left to end on its own
    /// (a name lookup cannot be interrupted), touching nothing of this object.
    ~OnlineTask();
    OnlineTask(const OnlineTask&) = delete;
    OnlineTask& operator=(const OnlineTask&) = delete;

    /// Starts `request`; false (nothing started) while an earlier one has not been taken yet.
    bool start(HttpRequest request);
    /// A request was started and its answer not yet taken.
    bool busy() const { return state_ != nullptr; }
    /// The answer (httpGet's text) once the request has ended, else nullopt; after it is taken
    /// the task is free for the next request.
    std::optional<std::string> take();

  private:
    struct Shared {
        std::atomic<bool> cancel{false};
        std::atomic<bool> done{false};
        std::string answer; // written by the request thread before `done`
    };
    std::shared_ptr<Shared> state_;
    std::thread thread_;
};

} // namespace kv::online
