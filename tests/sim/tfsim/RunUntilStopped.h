// The life of a simulator program: set up, say where it can be reached, then serve until
// SIGINT or SIGTERM. The signals are taken by sigwait, not by handlers, so no thread is
// interrupted; they are blocked before the set-up starts any thread.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <exception>

namespace tfsim {

// serve(wait) sets up, prints, then calls wait() while what it made is alive. Returns the
// program's exit status: 0, or 1 when the set-up threw (reported on stderr under `name`).
template <typename Serve> int runUntilStopped(const char* name, Serve serve) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    try {
        serve([&stop] {
            std::fflush(stdout);
            int sig = 0;
            sigwait(&stop, &sig);
        });
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", name, e.what());
        return 1;
    }
    return 0;
}

} // namespace tfsim
