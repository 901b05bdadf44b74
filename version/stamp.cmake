# Writes the build stamp, version_stamp.cpp, with the project's version, the commit of the source tree and
# the build day. Runs at every build (`cmake -P`), but rewrites the file only when its text changes, so an
# unchanged stamp recompiles and relinks nothing.
#
# Variables: SOURCE_DIR (the source tree), OUTPUT (the file to write), VERSION (the project's version).

set(commit "")
# Only a checkout of its own: a source tarball unpacked inside another repository has no commit of ours.
if(EXISTS "${SOURCE_DIR}/.git")
    find_package(Git QUIET)
    if(GIT_FOUND)
        # --no-optional-locks: a build never holds the index lock against the developer's own git commands.
        execute_process(
            COMMAND "${GIT_EXECUTABLE}" --no-optional-locks describe --tags --always --dirty
            WORKING_DIRECTORY "${SOURCE_DIR}"
            OUTPUT_VARIABLE commit
            ERROR_QUIET
            OUTPUT_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE status)
        if(NOT status EQUAL 0)
            set(commit "")
        endif()
        # Tag names may hold characters a C string literal would need escaped; a version string needs none.
        string(REGEX REPLACE "[^A-Za-z0-9._+-]" "" commit "${commit}")
    endif()
endif()

# string(TIMESTAMP) takes SOURCE_DATE_EPOCH from the environment when it is set.
string(TIMESTAMP date "%Y-%m-%d" UTC)

file(CONFIGURE OUTPUT "${OUTPUT}" @ONLY CONTENT [[
// Written by version/stamp.cmake at build time.
#include "version/version.h"

const char* const VERSION_NUMBER = "@VERSION@";
const char* const VERSION_COMMIT = "@commit@";
const char* const VERSION_BUILD_DATE = "@date@";
]])
