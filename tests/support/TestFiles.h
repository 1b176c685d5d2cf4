// Whole-file writes for tests.
#ifndef TERNFILEMON_TESTS_TESTFILES_H
#define TERNFILEMON_TESTS_TESTFILES_H

#include <string>

namespace terntest {

// Creates or replaces the file with the text; true when all of it was written.
bool WriteTextFile(const std::string& strPath, const std::string& strText);

}  // namespace terntest

#endif
