// ThreadSanitizer cannot see libzmq's hand-over of messages between threads (lock-free pipes
// in an uninstrumented library), so it takes a message read on the receiving thread for a
// race with the sender that filled it. Link this into tests that run czmq actors; races in
// which libzmq plays no part are still reported.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libzmq.so\n";
}
