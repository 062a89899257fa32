#include "online/online_task.h"

namespace kv::online {

OnlineTask::~OnlineTask() {
    if (!state_) return;
    state_->cancel.store(true, std::memory_order_relaxed);
    if (state_->done.load(std::memory_order_acquire))
        thread_.join();
    else
        thread_.detach(); // it holds its own share of the state
}

bool OnlineTask::start(HttpRequest request) {
    if (state_) return false;
    auto shared = std::make_shared<Shared>();
    state_ = shared;
    thread_ = std::thread([shared, request = std::move(request)]() mutable {
        request.cancel = &shared->cancel;
        shared->answer = httpGet(request);
        shared->done.store(true, std::memory_order_release);
    });
    return true;
}

std::optional<std::string> OnlineTask::take() {
    if (!state_ || !state_->done.load(std::memory_order_acquire)) return std::nullopt;
    thread_.join();
    std::string answer = std::move(state_->answer);
    state_.reset();
    return answer;
}

} // namespace kv::online
