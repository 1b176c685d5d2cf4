// The Wine test drives, named in one place. The harness maps:
//   D: a fixed drive, E: a removable drive, F: a CD-ROM (all folders of the build tree).
#ifndef TERNFILEMON_TESTS_TESTDRIVES_H
#define TERNFILEMON_TESTS_TESTDRIVES_H

#include <string>

namespace terntest {

std::string FixedDriveRoot();      // "D:\"
std::string RemovableDriveRoot();  // "E:\"
std::string CdromDriveRoot();      // "F:\"

// Creates a new, empty folder below root with a name unique to this process
// and run ("<root><prefix>-<pid>-<n>") and returns its path without a trailing
// backslash. Fails the calling test if it cannot.
std::string MakeFreshFolder(const std::string& strRoot, const std::string& strPrefix);

// Removes a folder and everything below it; quiet when it does not exist.
void RemoveTree(const std::string& strPath);

}  // namespace terntest

#endif
