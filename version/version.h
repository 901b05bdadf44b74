// The version both programs report with --version: the project's version number, the commit the program
// was built from and the day it was built.
//
// The commit and the date are stamped at build time (version/stamp.cmake): the commit is `git describe` of
// the source tree ("0ffa239", "v1.0.0-3-g0ffa239", with "-dirty" when it had uncommitted changes) and is
// empty when the source is not a git checkout (a tarball); the date is the UTC day of the build, or of
// SOURCE_DATE_EPOCH when that is set, so that a package built twice from one commit is the same.
#pragma once

#include <string>

/// The project's version, "1.0.0"; also the version of the package.
extern const char* const VERSION_NUMBER;
/// `git describe` of the source the program was built from; "" when unknown.
extern const char* const VERSION_COMMIT;
/// The build day, "YYYY-MM-DD" (UTC).
extern const char* const VERSION_BUILD_DATE;

/// What `program --version` prints: "program (Pelorin) 1.0.0", then "commit: ..." when the commit is known
/// and "built: YYYY-MM-DD", one line each; the caller ends the last line.
std::string version_text(const char* program);
