#include "version/version.h"

std::string version_text(const char* program) {
    std::string text = std::string(program) + " (Pelorin) " + VERSION_NUMBER;
    if (VERSION_COMMIT[0] != '\0') {
        text += std::string("\ncommit: ") + VERSION_COMMIT;
    }
    return text + "\nbuilt: " + VERSION_BUILD_DATE;
}
