// The operator policy and what it reports.
#include "service/UnattendedBackend.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "res/Resource.h"

namespace ui::unattended {

namespace {

// A wizard that keeps asking after this many answers does not unwind: the run is given up.
constexpr int kMaxDecisions = 1000;

Input press(int id) {
    return Input{InputKind::Press, id};
}

}  // namespace

UnattendedBackend::UnattendedBackend(Policy policy, Observer& observer,
                                     std::function<bool()> stopRequested)
    : policy_(policy), observer_(observer), stopRequested_(std::move(stopRequested)) {}

Millis UnattendedBackend::now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool UnattendedBackend::waitInput(Millis, Input& input) {
    if (++decisions_ > kMaxDecisions)
        throw std::runtime_error("the wizard does not unwind under the operator policy");
    if (open_.empty()) {
        input = Input{InputKind::Escape};
        return true;
    }
    const Window& window = *open_.back();
    input = decide(window, visits_[&window]);
    return true;
}

Input UnattendedBackend::leave(const Window& window) {
    leftEarly_ = true;
    if (window.kind == WindowKind::MessageBox) return press(1);
    return Input{InputKind::Escape};
}

Input UnattendedBackend::decide(const Window& window, Visit& visit) {
    if (window.kind == WindowKind::MessageBox) return press(1);  // reported when it opened
    if (stopRequested_ && stopRequested_()) return leave(window);
    if (visit.done || window.tmpl == nullptr) return leave(window);
    auto step = [&visit](Input input, bool last) {
        ++visit.steps;
        visit.done = last;
        return input;
    };
    switch (window.tmpl->id) {
        case res::idd::kWelcome:
            return step(press(res::idc::kWelcomeNext), true);
        case res::idd::kChooseConnection: {
            if (visit.steps == 0) {
                return step(Input{InputKind::Select, res::idc::kPortList, policy_.portIndex},
                            false);
            }
            return step(press(policy_.road == Policy::Road::Restore ? res::idc::kPortRestore
                                                                    : res::idc::kPortNext),
                        true);
        }
        case res::idd::kReceiverInfo: {
            // Update only while the page offers it: a refused power check disables it for good.
            const Control* update = window.control(res::idc::kUpdate);
            if (policy_.road != Policy::Road::Update || update == nullptr || !update->enabled ||
                !update->visible) {
                return leave(window);
            }
            return step(press(res::idc::kUpdate), true);
        }
        case res::idd::kRestore:
            if (policy_.road != Policy::Road::Restore) return leave(window);
            if (visit.steps == 0)
                return step(press(policy_.design == 0 ? res::idc::kWhiteTop : res::idc::kGreyTop),
                            false);
            return step(press(res::idc::kRestore), true);
        case res::idd::kWarmAndFuzzy:
            return step(press(res::idc::kNo), true);
        default:
            return leave(window);  // the connecting page takes no input; the About box is not ours
    }
}

void UnattendedBackend::windowOpened(const Window& window) {
    open_.push_back(&window);
    visits_[&window] = Visit{};
    if (window.kind == WindowKind::MessageBox) {
        observer_.messageBox(window);
    } else if (window.visible) {
        observer_.pageShown(window);
    }
}

void UnattendedBackend::windowChanged(const Window& window, Change change, int controlId) {
    if (window.kind != WindowKind::Dialog) return;
    if (change == Change::Visibility && window.visible) {
        observer_.pageShown(window);
    } else if (change == Change::Text) {
        if (const Control* c = window.control(controlId))
            observer_.textChanged(window, controlId, c->text);
    }
}

void UnattendedBackend::windowClosed(const Window& window, int result) {
    open_.erase(std::remove(open_.begin(), open_.end(), &window), open_.end());
    visits_.erase(&window);
    if (window.kind == WindowKind::Dialog) observer_.pageEnded(window, result);
}

void UnattendedBackend::inputIgnored(const Window& window, const Input& input, const char* reason) {
    leftEarly_ = true;
    auto it = visits_.find(&window);
    if (it != visits_.end()) it->second.done = true;  // the next answer on this window is Escape
    observer_.inputRefused(window, input, reason);
}

}  // namespace ui::unattended
