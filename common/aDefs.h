/* Module model names, looked up by the model number a module reports. */
#ifndef TESSAFORM_ADEFS_H
#define TESSAFORM_ADEFS_H

#ifdef __cplusplus
extern "C" {
#endif

/* The model's display name, or "Unknown" for a number without a model. */
const char* aDefs_GetModelName(unsigned int model);

#ifdef __cplusplus
}
#endif

#endif
