#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "bindings/VersionCheck.h"

namespace {

using lumo::typing::pybind::IsCompatiblePythonVersion;
using lumo::typing::pybind::PythonVersionMismatchMessage;

struct VersionCase {
  const char* text;
  bool accepted;
};

std::ostream& operator<<(std::ostream& out, const VersionCase& c) { return out << '"' << c.text << '"'; }

class PythonVersionCheck : public ::testing::TestWithParam<VersionCase> {};

TEST_P(PythonVersionCheck, AcceptsOnlyThe312Series) {
  EXPECT_EQ(IsCompatiblePythonVersion(GetParam().text), GetParam().accepted) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Texts, PythonVersionCheck,
                         ::testing::Values(VersionCase{"3.12.1 (main, Jan  1 2024) [GCC 12.2.0]", true},
                                           VersionCase{"3.12.1", true}, VersionCase{"3.12a1", true},
                                           VersionCase{"3.12+", true}, VersionCase{"3.12", true},
                                           VersionCase{"3.120", false}, VersionCase{"3.11.9", false},
                                           VersionCase{"3.13.0", false}, VersionCase{"3.1", false},
                                           VersionCase{"", false}, VersionCase{"2.12.1", false}));

TEST(PythonVersionCheck, MessageEndsWithTheFullVersionText) {
  const std::string message = PythonVersionMismatchMessage("3.13.0 (main) [GCC]");
  EXPECT_EQ(message,
            "Python version mismatch: module was compiled for Python 3.12, but the interpreter version is "
            "incompatible: 3.13.0 (main) [GCC].");
}

}  // namespace
