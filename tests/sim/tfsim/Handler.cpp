// Handlers made of functions.
#include "tfsim/Handler.h"

namespace tfsim {

namespace {

class FunctionHandler final : public Handler {
  public:
    explicit FunctionHandler(std::function<bool(const Packet&, Replies&)> handle)
        : handle_(std::move(handle)) {}
    bool handle(const Packet& request, Replies& replies) override {
        return handle_(request, replies);
    }

  private:
    const std::function<bool(const Packet&, Replies&)> handle_;
};

} // namespace

std::shared_ptr<Handler> handler(std::function<bool(const Packet&, Replies&)> handle) {
    return std::make_shared<FunctionHandler>(std::move(handle));
}

} // namespace tfsim
