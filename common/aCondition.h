/* Condition variables over aMutex, for the C files of the core that wait for a state change
 * made by another thread (C++ files use std::condition_variable). Not part of the public line. */
#ifndef TESSAFORM_ACONDITION_H
#define TESSAFORM_ACONDITION_H

#include "aError.h"
#include "aMutex.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct aCondition aCondition;

/* NULL when memory runs out or the system cannot make the condition. */
aCondition* aCondition_Create(void);

/* The caller holds the mutex; it is released while waiting and held again on return. A wait
 * may end without a broadcast, so callers test their state in a loop. aErrParam for NULL. */
aErr aCondition_Wait(aCondition* condition, aMutex* mutex);

/* Wakes every waiter. aErrParam for NULL. */
aErr aCondition_Broadcast(aCondition* condition);

/* aErrParam for a NULL address or handle; aErrBusy, with the record kept and the handle left as
 * it was, when the system reports waiters; else frees the record and clears the handle. */
aErr aCondition_Destroy(aCondition** condition);

#ifdef __cplusplus
}
#endif

#endif
