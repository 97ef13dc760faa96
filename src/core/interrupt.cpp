#include "core/interrupt.hpp"

namespace quarnel {
namespace {

thread_local StopCheck t_stop_check = nullptr;
// True while the check runs: work that the check itself starts does not consult it again.
thread_local bool t_checking = false;

}  // namespace

StopCheckScope::StopCheckScope(StopCheck check) noexcept : previous_(t_stop_check), previously_checking_(t_checking) {
    t_stop_check = check;
    t_checking = false;
}

StopCheckScope::~StopCheckScope() {
    t_stop_check = previous_;
    t_checking = previously_checking_;
}

bool stop_requested() {
    if (t_stop_check == nullptr || t_checking) return false;
    t_checking = true;
    const bool stop = t_stop_check();
    t_checking = false;
    return stop;
}

void throw_if_stop_requested() {
    if (stop_requested()) throw Interrupted();
}

[[gnu::noinline, gnu::cold]] void StopPoller::poll() {
    countdown_ = period_;
    throw_if_stop_requested();
}

}  // namespace quarnel
