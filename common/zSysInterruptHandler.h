/* Gives a SIGINT or SIGTERM that czmq's own handler swallowed back to the process, once, so
 * that a program running the library's ZeroMQ threads still stops on Ctrl-C. */
#ifndef TESSAFORM_ZSYSINTERRUPTHANDLER_H
#define TESSAFORM_ZSYSINTERRUPTHANDLER_H

#ifdef __cplusplus
extern "C" {
#endif

/* Called after every poll of the library's ZeroMQ threads. While czmq has not been
 * interrupted it does nothing. Once it has, the first call puts back the handlers that were
 * in place before czmq's and sends SIGINT to the process; no later call sends it again. */
void zSysInterruptHandler_process(void);

#ifdef __cplusplus
}
#endif

#endif
