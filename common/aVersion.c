/* Library version, firmware-version words and the feature table. */
#include "aVersion.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "aOnce.h"

#define MARKER 0x2Fu
#define VERSION_STRING_SIZE 15

const char* const aVERSION_PHASE = ".";

typedef struct {
    const char* name;
    const char* description;
} aFeature;

static const aFeature FEATS[] = {
    {"VERSION", "Version Query API"},
};
#define NUM_FEATS (sizeof(FEATS) / sizeof(FEATS[0]))

static char version_string[VERSION_STRING_SIZE];
static aOnce version_inited = aONCE_INIT;

uint8_t aVersion_GetMajor(void) {
    return aVERSION_MAJOR;
}
uint8_t aVersion_GetMinor(void) {
    return aVERSION_MINOR;
}
uint8_t aVersion_GetPatch(void) {
    return aVERSION_PATCH;
}

static void sBuildVersionString(void) {
    memset(version_string, 0, sizeof(version_string));
    snprintf(version_string, sizeof(version_string), "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR,
             aVERSION_PHASE, aVERSION_PATCH);
}

const char* aVersion_GetString(void) {
    aOnce_Run(&version_inited, sBuildVersionString);
    return version_string;
}

bool aVersion_IsAtLeastCompare(uint8_t major, uint8_t minor, uint8_t patch, uint8_t minMajor,
                               uint8_t minMinor, uint8_t minPatch) {
    if (major != minMajor) return major > minMajor;
    if (minor != minMinor) return minor > minMinor;
    return patch >= minPatch;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
    return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major, minor,
                                     patch);
}

/* Legacy exactly when (top nibble, next nibble) is below 2.15, i.e. the top byte is below 0x2F. */
bool aVersion_IsLegacyFormat(uint32_t version) {
    uint8_t topMajor = (uint8_t)(version >> 28);
    uint8_t topMinor = (uint8_t)((version >> 24) & 0x0F);
    return !aVersion_IsAtLeastCompare(topMajor, topMinor, 255, 2, 15, 0);
}

uint8_t aVersion_ParseMajor(uint32_t version) {
    return aVersion_IsLegacyFormat(version) ? (uint8_t)(version >> 28)
                                            : (uint8_t)((version >> 16) & 0xFF);
}

uint8_t aVersion_ParseMinor(uint32_t version) {
    return aVersion_IsLegacyFormat(version) ? (uint8_t)((version >> 24) & 0x0F)
                                            : (uint8_t)((version >> 8) & 0xFF);
}

uint32_t aVersion_ParsePatch(uint32_t version) {
    return aVersion_IsLegacyFormat(version) ? (version & 0x00FFFFFFu) : (version & 0xFFu);
}

void aVersion_ParseString(uint32_t version, char* buffer, size_t size) {
    if (!buffer || size == 0) return;
    snprintf(buffer, size, "%u.%u.%u", (unsigned)aVersion_ParseMajor(version),
             (unsigned)aVersion_ParseMinor(version), (unsigned)aVersion_ParsePatch(version));
}

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
    if (major > 2 || (major == 2 && minor > 14))
        return MARKER << 24 | (uint32_t)major << 16 | (uint32_t)minor << 8 | patch;
    return (uint32_t)major << 28 | (uint32_t)(minor & 0x0F) << 24 | patch;
}

bool aVersion_HasFeature(const char* name) {
    if (!name) return false;
    for (size_t i = 0; i < NUM_FEATS; i++)
        if (strcmp(FEATS[i].name, name) == 0) return true;
    return false;
}

char* aVersion_GetFeatureList(void) {
    static const char SEP[] = " - ";
    size_t size = 1;
    for (size_t i = 0; i < NUM_FEATS; i++)
        size += strlen(FEATS[i].name) + strlen(SEP) + strlen(FEATS[i].description) + 1;
    char* list = calloc(1, size);
    if (!list) return NULL;
    for (size_t i = 0; i < NUM_FEATS; i++) {
        if (i > 0) strcat(list, "\n");
        strcat(list, FEATS[i].name);
        strcat(list, SEP);
        strcat(list, FEATS[i].description);
    }
    return list;
}

void aVersion_DestroyFeatureList(char** list) {
    if (!list) return;
    free(*list);
    *list = NULL;
}
