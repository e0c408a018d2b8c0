// ThreadSanitizer suppressions for programs that run ZeroMQ threads: libzmq is not
// instrumented, so the hand-offs between a socket's owner and libzmq's I/O thread (its own
// lock-free pipes and atomics) look like races. Only frames inside libzmq are excused.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libzmq.so\n"
           "race:libzmq.so\n";
}
