// The collection on the serial engine. The cycles themselves are CollectFrom (ReceiverLink.cpp),
// so the fuzzer runs them without the engine and without sleeping.
#include <chrono>
#include <thread>

#include "link/ReceiverLink.h"

namespace {

class EngineSource : public ReplySource {
  public:
    EngineSource(PortHandle port, const ReceiverLink& link) : port_(port), link_(link) {}
    void Pause() override {
        if (link_.pauseHook != nullptr) {
            link_.pauseHook(link_.pauseHookContext, ReceiverLink::kCyclePauseMs);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(ReceiverLink::kCyclePauseMs));
        }
    }
    int BytesAvailable() override { return CommBytesAvailable(port_); }
    int Read(std::uint8_t* destination, std::int32_t count) override {
        return CommRead(port_, destination, count);
    }

  private:
    PortHandle port_;
    const ReceiverLink& link_;
};

}  // namespace

bool ReceiverLink::CollectReplies(std::uint8_t* buffer) {
    EngineSource source(port, *this);
    return CollectFrom(source, buffer);
}
