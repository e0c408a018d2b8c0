/* Display names of the module models; other code treats them as opaque text. */
#include "aDefs.h"

const char* aDefs_GetModelName(unsigned int model) {
    switch (model) {
    case 4:
        return "TF-Hub2";
    case 5:
        return "TF-Router";
    case 13:
        return "TF-Pico";
    case 14:
        return "TF-Nano";
    case 15:
        return "TF-Micro";
    case 16:
        return "TF-Mega";
    case 17:
        return "TF-Hub4";
    case 18:
        return "TF-Hub8";
    case 19:
        return "TF-Power";
    case 20:
        return "TF-Relay";
    case 21:
        return "TF-Temp";
    case 22:
        return "TF-IO16";
    case 23:
        return "TF-Analog";
    case 24:
        return "TF-Servo";
    case 25:
        return "TF-Etherhub";
    case 26:
        return "TF-Serial";
    case 27:
        return "TF-Ctrl";
    default:
        return "Unknown";
    }
}
