// scripts/demo_provider.py, the stand-in provider a newcomer runs to try the program.

#include "tests/support/demo_provider.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "net/http_client.h"
#include "servers/server_list.h"

namespace vpn {
namespace {

std::string storedSample() {
    std::ifstream in(test::DemoProvider::sampleDirectoryPath(), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

TEST(DemoProviderTest, ServesTheSampleDirectoryAsStoredAndNothingElse) {
    const test::DemoProvider provider;
    const auto client = createHttpClient();

    const HttpResponse directory = client->get(provider.url("/server.txt"));
    EXPECT_EQ(directory.body, storedSample());
    EXPECT_EQ(directory.contentType, "text/plain");
    EXPECT_THROW(client->get(provider.url("/other.txt")), HttpError);
}

TEST(DemoProviderTest, SampleDirectoryGivesTwelveLoopbackServers) {
    const test::DemoProvider provider;
    const auto client = createHttpClient();

    const ParsedDirectory directory = FetchServerDirectory(*client, provider.url("/server.txt"));
    EXPECT_FALSE(directory.utf8) << "the sample is GBK, as the provider serves it";
    ASSERT_EQ(directory.rows.size(), 12u);
    const ServerRecord& first = directory.rows[0];
    EXPECT_EQ(first.location, "香港01");
    EXPECT_EQ(first.user, "demo01");
    EXPECT_EQ(first.password, "pass01");
    EXPECT_EQ(first.availableTime, "2099-12-31");
    for (std::size_t i = 0; i < directory.rows.size(); ++i) {
        EXPECT_EQ(directory.rows[i].server, "127.0.0." + std::to_string(i + 1));
    }
}

}  // namespace
}  // namespace vpn
