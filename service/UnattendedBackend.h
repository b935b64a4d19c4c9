// A back end without a person: an operator policy walks the wizard's pages for a service bench.
//
// The policy goes the one road it was given and leaves at the first sign of trouble: Next on the
// Welcome page; on the port selection page its port, then Next (or Restore); Update on the
// receiver information page only while the page itself has it enabled; on the restore page its
// design, then Restore; No on the completion page; OK on every message box. A page that comes
// back after it was acted on (a failure sent the operator back), or one the policy does not know,
// gets Escape, which unwinds the page chain. It never waits: every question of the framework is
// answered at once, on the system's clock.
//
// The back end changes nothing of the wizard; it tells its Observer of everything shown, so that
// a front end can report and judge the run from what the wizard did. All calls come from the
// user-interface thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ui/Backend.h"

namespace ui::unattended {

struct Policy {
    enum class Road { Update, Restore };
    int portIndex = 0;  // entry of the port selection page's list: COM port n is n - 1
    Road road = Road::Update;
    int design = 0;  // restore road: 0 white top with logo, 1 grey top without logo
};

// Told of what the wizard shows, as it shows it (user-interface thread). Every member has an
// empty default.
class Observer {
  public:
    virtual ~Observer() = default;
    // A page became visible (opened, or shown again).
    virtual void pageShown(const Window& page) { (void)page; }
    // A page ended: `result` 1 OK, 2 Cancel.
    virtual void pageEnded(const Window& page, int result) { (void)page, (void)result; }
    // A control's text changed while its page was open.
    virtual void textChanged(const Window& page, int controlId, const std::string& text) {
        (void)page, (void)controlId, (void)text;
    }
    // A message box opened; the policy answers it with OK right after.
    virtual void messageBox(const Window& box) { (void)box; }
    // The framework refused the policy's input (a fault of the policy: the run is not trusted).
    virtual void inputRefused(const Window& window, const Input& input, const char* reason) {
        (void)window, (void)input, (void)reason;
    }
};

class UnattendedBackend : public Backend {
  public:
    // `stopRequested` is asked before every decision; once it says true the policy leaves the
    // wizard (Escape on pages, OK on message boxes). It may be empty.
    UnattendedBackend(Policy policy, Observer& observer, std::function<bool()> stopRequested = {});

    // True once the policy had to leave without having gone its road: a page came back, a page it
    // does not know, a stop request, or input the framework refused.
    bool leftEarly() const { return leftEarly_; }

    // ---- Backend.
    Millis now() override;
    bool waitInput(Millis deadline, Input& input) override;
    void windowOpened(const Window& window) override;
    void windowChanged(const Window& window, Change change, int controlId) override;
    void windowClosed(const Window& window, int result) override;
    void inputIgnored(const Window& window, const Input& input, const char* reason) override;

  private:
    // What the policy did on one open window so far.
    struct Visit {
        int steps = 0;      // inputs given on the road (select, press, ...)
        bool done = false;  // the road's last input on this page was given
    };
    Input decide(const Window& window, Visit& visit);
    Input leave(const Window& window);

    Policy policy_;
    Observer& observer_;
    std::function<bool()> stopRequested_;
    std::map<const Window*, Visit> visits_;  // open windows only
    std::vector<const Window*> open_;        // open windows, oldest first; the last takes input
    int decisions_ = 0;
    bool leftEarly_ = false;
};

}  // namespace ui::unattended
