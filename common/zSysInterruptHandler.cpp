/* The interrupt latch: one re-sent SIGINT per process after czmq caught a signal. */
#include "zSysInterruptHandler.h"

#include <czmq.h>
#include <signal.h>
#include <unistd.h>

#include <mutex>

namespace {

/* Many pollers call the latch at once; the mutex makes the re-send happen exactly once. */
std::mutex _sigint_mutex;
bool _sigint_latch = false;

} // namespace

extern "C" void zSysInterruptHandler_process(void) {
    if (!zsys_interrupted) return;
    std::lock_guard<std::mutex> guard(_sigint_mutex);
    zsys_handler_set(nullptr);
    if (!_sigint_latch) {
        _sigint_latch = true;
        kill(getpid(), SIGINT);
    }
    zsys_handler_reset();
}
