#include "servers/server_selection.h"

#include <gtest/gtest.h>

namespace vpn {
namespace {

ServerRecord record(std::string server, std::string user, std::string password) {
    return {"somewhere", std::move(server), std::move(user), std::move(password), "2025"};
}

TEST(ServerSelectionTest, OkNeedsServerUserAndPassword) {
    ServerSelection selection;
    EXPECT_FALSE(selection.okEnabled());
    selection.showRows({record("1.1.1.1", "u1", "p1"), record("2.2.2.2", "u2", ""),
                        record("", "u3", "p3"), record("4.4.4.4", "", "p4")});
    EXPECT_TRUE(selection.okEnabled());
    EXPECT_EQ(selection.confirm(), std::nullopt);  // nothing chosen yet

    struct Case {
        std::size_t row;
        std::optional<ServerChoice> expected;
    };
    const Case cases[] = {
        {0, ServerChoice{"1.1.1.1", "u1", "p1"}},
        {1, std::nullopt},
        {2, std::nullopt},
        {3, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.row);
        selection.choose(c.row);
        EXPECT_EQ(selection.confirm(), c.expected);
    }
}

TEST(ServerSelectionTest, ChoiceIsEmptiedByShowingAndByNewRows) {
    ServerSelection selection;
    selection.showRows({record("1.1.1.1", "u1", "p1")});
    selection.choose(0);
    selection.choose(5);  // past the rows: ignored
    EXPECT_EQ(selection.choice(), (ServerChoice{"1.1.1.1", "u1", "p1"}));
    selection.clearChoice();
    EXPECT_EQ(selection.confirm(), std::nullopt);
    EXPECT_EQ(selection.rows().size(), 1u);

    selection.choose(0);
    selection.showRows({record("2.2.2.2", "u2", "p2")});
    EXPECT_EQ(selection.confirm(), std::nullopt);
    EXPECT_TRUE(selection.okEnabled());
}

}  // namespace
}  // namespace vpn
