/* The library's own version, and the packed firmware-version word that modules report.
 *
 * A firmware-version word has two layouts, told apart by its top byte:
 *   legacy (top byte below 0x2F): major bits 31-28, minor 27-24, patch 23-0;
 *   marked (top byte 0x2F and up): marker 31-24, major 23-16, minor 15-8, patch 7-0.
 * Versions from 2.15 on are packed in the marked layout. */
#ifndef TESSAFORM_AVERSION_H
#define TESSAFORM_AVERSION_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define aVERSION_MAJOR 2
#define aVERSION_MINOR 12
#define aVERSION_PATCH 5

/* Separator between minor and patch in the library version text. */
extern const char* const aVERSION_PHASE;

uint8_t aVersion_GetMajor(void);
uint8_t aVersion_GetMinor(void);
uint8_t aVersion_GetPatch(void);

/* "2.12.5"; the same process-wide text on every call. */
const char* aVersion_GetString(void);

/* True when the library version is at least major.minor.patch. */
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

/* True when (major, minor, patch) >= (minMajor, minMinor, minPatch), lexicographically.
 * Callers holding a wider (legacy 24-bit) patch pass its low 8 bits. */
bool aVersion_IsAtLeastCompare(uint8_t major, uint8_t minor, uint8_t patch, uint8_t minMajor,
                               uint8_t minMinor, uint8_t minPatch);

bool aVersion_IsLegacyFormat(uint32_t version);
uint8_t aVersion_ParseMajor(uint32_t version);
uint8_t aVersion_ParseMinor(uint32_t version);
uint32_t aVersion_ParsePatch(uint32_t version);

/* Writes "major.minor.patch" into buffer, cut to size - 1 characters; size 0 writes nothing. */
void aVersion_ParseString(uint32_t version, char* buffer, size_t size);

/* Packs a version: marked layout above 2.14, else legacy (minor's low 4 bits kept). */
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);

/* True when the library has a feature of exactly this (case-sensitive) name. */
bool aVersion_HasFeature(const char* name);

/* A new heap text "name - description" per feature, one "\n" between them;
 * NULL when memory runs out. Release it with aVersion_DestroyFeatureList. */
char* aVersion_GetFeatureList(void);
void aVersion_DestroyFeatureList(char** list);

#ifdef __cplusplus
}
#endif

#endif
