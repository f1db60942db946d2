// vpnctl connect and disconnect, run as a program: the cases that need no dial-up service.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/run_program.h"

namespace vpn {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;

struct CommandCase {
    const char* name;
    std::vector<std::string> args;
    int exitStatus;
    std::string out;      // stdout exactly
    std::string errPart;  // stderr holds this
};

void PrintTo(const CommandCase& row, std::ostream* out) {
    *out << row.name;
}

const CommandCase kCases[] = {
    // A password on the command line would be readable by every user of the machine.
    {"PasswordIsNeverTakenFromTheArguments",
     {"connect", "192.0.2.1", "bob", "secret"},
     2,
     "",
     "Usage: vpnctl connect"},
    {"ServerAndUserAreNeeded", {"connect", "192.0.2.1"}, 2, "", "Usage: vpnctl connect"},
    // Standard input is empty and not a terminal: the password is empty, nothing is dialed,
    // and nothing waits for a prompt.
    {"EmptyStandardInputIsAnEmptyPassword",
     {"connect", "192.0.2.1", "bob"},
     1,
     "请输入完整信息。\n",
     ""},
    {"DisconnectTakesNoArguments", {"disconnect", "now"}, 2, "", "Usage: vpnctl disconnect"},
};

class ConnectCommandTest : public testing::TestWithParam<CommandCase> {};

TEST_P(ConnectCommandTest, PrintsAndExitsAsExpected) {
    const CommandCase& row = GetParam();
    std::vector<std::string> argv = {VPNCTL_PATH};
    argv.insert(argv.end(), row.args.begin(), row.args.end());

    const test::ProgramResult result = test::runProgram(argv, 30s);

    ASSERT_FALSE(result.timedOut) << "vpnctl hung";
    EXPECT_EQ(result.exitStatus, row.exitStatus) << result.out << result.err;
    EXPECT_EQ(result.out, row.out);
    EXPECT_THAT(result.err, HasSubstr(row.errPart));
}

INSTANTIATE_TEST_SUITE_P(Cases, ConnectCommandTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<CommandCase>& row) {
                             return std::string(row.param.name);
                         });

}  // namespace
}  // namespace vpn
