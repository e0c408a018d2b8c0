// ThreadSanitizer suppressions for programs that run ZeroMQ threads. libzmq and czmq are not
// instrumented, so the hand-offs between a socket's owner and libzmq's I/O thread (its own
// lock-free pipes and atomics) look like races, as do czmq's beacon threads reading what was
// handed to them. czmq's beacon also reads the process-wide interface setting after its
// configuration has been answered, beyond any lock of ours. Only accesses made inside those
// libraries are excused.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libzmq.so\n"
           "called_from_lib:libczmq.so\n"
           "race:libzmq.so\n";
}
