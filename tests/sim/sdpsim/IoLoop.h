// The I/O thread an endpoint runs: it polls the descriptors the endpoint names and hands
// ready ones back to it, until the endpoint is destroyed.
#pragma once

#include <functional>
#include <thread>
#include <vector>

namespace sdpsim {

class IoLoop {
  public:
    // watched() is asked before each poll for the descriptors to wait on (read readiness);
    // ready(fd) is called for each that is ready. Both run on the loop's thread.
    IoLoop(std::function<std::vector<int>()> watched, std::function<void(int)> ready);
    ~IoLoop();
    IoLoop(const IoLoop&) = delete;
    IoLoop& operator=(const IoLoop&) = delete;

    // Starts the thread; the owner calls it once its own members are ready.
    void start();
    // Stops and joins the thread; the owner calls it first in its destructor.
    void stop();

  private:
    void run();

    std::function<std::vector<int>()> watched_;
    std::function<void(int)> ready_;
    int wakeFd_;
    std::thread thread_;
};

} // namespace sdpsim
