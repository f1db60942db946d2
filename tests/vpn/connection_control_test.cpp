#include "vpn/connection_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/status_log.h"
#include "net/text_codec.h"
#include "vpn/vpn_entry.h"

namespace vpn {
namespace {

const std::string kName = kEntryName;
const std::string kAddress = "203.0.113.9 美国";

// How the fake service behaves in one case.
struct Behaviour {
    bool writeSucceeds = true;
    std::vector<ActiveConnection> active{};  // connections up before the first command
    std::uint32_t listResult = 0;            // the records in `active` are listed either way
    std::uint32_t dialResult = 0;
    ConnectionHandle dialHandle = "/h1";  // given out by dial(), on failure too
    bool dialThrows = false;              // after giving out the handle
    bool everyCallThrows = false;
    bool lookupThrows = false;
    std::string unavailableReason{};  // why the service cannot work here
};

// A dial-up service that keeps its active connections in a list and writes every call it
// receives into `calls`.
class FakeDialUpService : public DialUpService {
public:
    explicit FakeDialUpService(const Behaviour& behaviour)
        : behaviour_(behaviour), active_(behaviour.active) {}

    bool writeEntry(const std::string& entryName, const VpnEntrySettings& settings) override {
        record("write " + entryName + " " + settings.server);
        return behaviour_.writeSucceeds;
    }
    std::uint32_t listConnections(std::vector<ActiveConnection>& out) override {
        record("list");
        out = active_;
        return behaviour_.listResult;
    }
    std::uint32_t dial(const std::string& entryName, const std::string& user,
                       const std::string& password, ConnectionHandle& handle) override {
        record("dial " + entryName + " [" + user + "] [" + password + "]");
        handle = behaviour_.dialHandle;
        if (behaviour_.dialThrows) {
            throw std::runtime_error("bus connection lost");
        }
        if (behaviour_.dialResult == 0) {
            active_.push_back({handle, entryName});
        }
        return behaviour_.dialResult;
    }
    std::string errorText(std::uint32_t code) override {
        failIfAsked();
        return "错误" + std::to_string(code) + "。";
    }
    void hangUp(const ConnectionHandle& handle) override {
        record("hangUp " + handle);
        std::erase_if(active_, [&](const ActiveConnection& c) { return c.handle == handle; });
    }
    std::string unavailableReason() override { return behaviour_.unavailableReason; }
    void deleteEntry(const std::string& entryName) override {
        record("delete " + entryName);
        std::erase_if(active_, [&](const ActiveConnection& c) { return c.entryName == entryName; });
    }

    std::vector<std::string> calls;

private:
    void record(std::string call) {
        calls.push_back(std::move(call));
        failIfAsked();
    }
    void failIfAsked() const {
        if (behaviour_.everyCallThrows) {
            throw std::runtime_error("NetworkManager is not running");
        }
    }

    Behaviour behaviour_;
    std::vector<ActiveConnection> active_;
};

class RecordingLog : public StatusLog {
public:
    void AddLog(const std::string& line) override { lines.push_back(line); }
    std::vector<std::string> lines;
};

// One button press: connect with these fields, or disconnect.
struct Press {
    bool connect;
    ConnectFields fields;
};
Press connect(std::string server, std::string user, std::string password) {
    return {true, {std::move(server), std::move(user), std::move(password)}};
}
const Press kConnect = connect("198.51.100.7", "alice", "s3cret");
const Press kDisconnect{false, {}};

std::string repeat(const std::string& unit, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) {
        text += unit;
    }
    return text;
}

struct Case {
    const char* name;
    Behaviour behaviour;
    std::vector<Press> presses;
    std::vector<std::string> log;
    std::vector<std::string> calls;
};

const std::string kWrite = "write " + kName + " 198.51.100.7";
const std::string kDial = "dial " + kName + " [alice] [s3cret]";
const std::string kDelete = "delete " + kName;

const Case kCases[] = {
    {"server empty", {}, {connect("", "alice", "s3cret")}, {"请输入完整信息。"}, {}},
    {"user empty", {}, {connect("198.51.100.7", "", "s3cret")}, {"请输入完整信息。"}, {}},
    {"password empty", {}, {connect("198.51.100.7", "alice", "")}, {"请输入完整信息。"}, {}},
    {"blanks count as filled and are passed untrimmed",
     {},
     {connect(" ", "  ", " p ")},
     {"连接成功。", kAddress},
     {"write " + kName + "  ", "list", "dial " + kName + " [  ] [ p ]"}},
    {"entry cannot be written: nothing logged, nothing dialed",
     {.writeSucceeds = false},
     {kConnect},
     {},
     {kWrite}},
    {"no VPN service on this machine: its reason is the one line",
     {.writeSucceeds = false, .unavailableReason = "NetworkManager 未运行。"},
     {kConnect},
     {"NetworkManager 未运行。"},
     {kWrite}},
    {"success, then the address report; disconnect hangs up what was dialed",
     {},
     {kConnect, kDisconnect},
     {"连接成功。", kAddress, "断开连接。"},
     {kWrite, "list", kDial, "hangUp /h1", kDelete}},
    {"failed address report is swallowed and the connection stays",
     {.lookupThrows = true},
     {kConnect, kDisconnect},
     {"连接成功。", "断开连接。"},
     {kWrite, "list", kDial, "hangUp /h1", kDelete}},
    {"second press while connected: entry rewritten, no second dial",
     {},
     {kConnect, kConnect, kDisconnect},
     {"连接成功。", kAddress, "连接已经激活。", "断开连接。"},
     {kWrite, "list", kDial, kWrite, "list", "hangUp /h1", kDelete}},
    {"dial failure: code, blank, text; the half-open handle is released once",
     {.dialResult = 691, .dialHandle = "/half"},
     {kConnect, kDisconnect},
     {"691 错误691。", "断开连接。"},
     {kWrite, "list", kDial, "hangUp /half", kDelete}},
    {"dial failure without a handle hangs up nothing",
     {.dialResult = 800, .dialHandle = ""},
     {kConnect},
     {"800 错误800。"},
     {kWrite, "list", kDial}},
    {"dial that throws logs nothing; its handle is hung up on disconnect",
     {.dialThrows = true},
     {kConnect, kDisconnect},
     {"断开连接。"},
     {kWrite, "list", kDial, "hangUp /h1", kDelete}},
    {"enumeration failure logs the text alone and dialing goes on",
     {.listResult = 603},
     {kConnect},
     {"错误603。", "连接成功。", kAddress},
     {kWrite, "list", kDial}},
    {"records listed with a failed enumeration are still searched",
     {.active = {{"/x", kName}}, .listResult = 603},
     {kConnect},
     {"错误603。", "连接已经激活。"},
     {kWrite, "list"}},
    {"disconnect without a connection still deletes the entry",
     {},
     {kDisconnect},
     {"断开连接。"},
     {kDelete}},
    {"a service that throws everywhere: only the disconnect line",
     {.everyCallThrows = true},
     {kConnect, kDisconnect},
     {"断开连接。"},
     {kWrite, kDelete}},
    {"ASCII letters match in any case; the first match in list order is taken",
     {.active = {{"/a", "其他连接"}, {"/b", "青禾鹭vPn专用连接"}, {"/c", kName}}},
     {kConnect, kDisconnect},
     {"连接已经激活。", "断开连接。"},
     {kWrite, "list", "hangUp /b", kDelete}},
    // 接 is E6 8E A5; 0x85 differs from 0xA5 by the ASCII case bit.
    {"a name differing only in a non-ASCII byte is another entry",
     {.active = {{"/a", "青禾鹭VPN专用连\xE6\x8E\x85"}, {"/b", "青禾鹭VPN专用连接 "}}},
     {kConnect},
     {"连接成功。", kAddress},
     {kWrite, "list", kDial}},
    {"server of 128 bytes is dialed",
     {},
     {connect(repeat("a", 128), "u", "p")},
     {"连接成功。", kAddress},
     {"write " + kName + " " + repeat("a", 128), "list", "dial " + kName + " [u] [p]"}},
    {"server of 129 bytes", {}, {connect(repeat("a", 129), "u", "p")}, {"服务器地址太长。"}, {}},
    {"server of 64 Chinese characters (128 GBK bytes) is dialed",
     {},
     {connect(repeat("服", 64), "u", "p")},
     {"连接成功。", kAddress},
     {"write " + kName + " " + repeat("服", 64), "list", "dial " + kName + " [u] [p]"}},
    {"server of 65 Chinese characters",
     {},
     {connect(repeat("服", 65), "u", "p")},
     {"服务器地址太长。"},
     {}},
    {"user of 257 bytes", {}, {connect("s", repeat("u", 257), "p")}, {"帐号或密码太长。"}, {}},
    {"password of 129 Chinese characters",
     {},
     {connect("s", "u", repeat("密", 129))},
     {"帐号或密码太长。"},
     {}},
    {"user of 256 bytes and password of 128 Chinese characters are dialed",
     {},
     {connect("s", repeat("u", 256), repeat("密", 128))},
     {"连接成功。", kAddress},
     {"write " + kName + " s", "list",
      "dial " + kName + " [" + repeat("u", 256) + "] [" + repeat("密", 128) + "]"}},
    {"too long server and user: the server is named",
     {},
     {connect(repeat("a", 129), repeat("u", 257), "p")},
     {"服务器地址太长。"},
     {}},
};

class ConnectionControlTest : public testing::TestWithParam<Case> {};

TEST_P(ConnectionControlTest, LogsAndServiceCalls) {
    const Case& c = GetParam();
    FakeDialUpService service(c.behaviour);
    RecordingLog log;
    ConnectionControl control(service, log, [&]() -> std::string {
        if (c.behaviour.lookupThrows) {
            throw std::runtime_error("connection refused");
        }
        return kAddress;
    });
    for (const Press& press : c.presses) {
        if (press.connect) {
            control.ConnectCommand(press.fields);
        } else {
            control.DisconnectCommand();
        }
    }
    EXPECT_EQ(log.lines, c.log);
    EXPECT_EQ(service.calls, c.calls);
}

INSTANTIATE_TEST_SUITE_P(Commands, ConnectionControlTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& param) {
                             std::string name;
                             for (const char* p = param.param.name; *p != '\0'; ++p) {
                                 const auto ch = static_cast<unsigned char>(*p);
                                 name += std::isalnum(ch) != 0 ? *p : '_';
                             }
                             return name;
                         });

TEST(ConnectionControlState, EntryNameIsSetOnlyByAConnectThatPassedTheChecks) {
    FakeDialUpService service(Behaviour{.writeSucceeds = false});
    RecordingLog log;
    ConnectionControl control(service, log, [] { return kAddress; });
    control.ConnectCommand({"s", "", "p"});
    control.ConnectCommand({repeat("a", 129), "u", "p"});
    EXPECT_EQ(control.EntryName(), "");
    control.ConnectCommand({"s", "u", "p"});
    EXPECT_EQ(control.EntryName(), kName);
}

TEST(GbkByteLength, CountsAsciiOnceAndEveryOtherCharacterTwice) {
    const struct {
        const char* text;
        std::size_t length;
    } cases[] = {
        {"", 0},
        {"vpn.example.com", 15},
        {"青禾鹭VPN专用连接", 17},
        {"\xF0\x9F\x98\x80", 2},    // outside GBK: one '?' when converted
        {"\xC3\xA9x", 3},           // é
        {"\xE4\xB8", 4},            // a cut sequence: each byte on its own
        {"\x80\xBFz", 5},           // stray continuation bytes
        {"\xE4\xB8\xADok\xE6", 6},  // 中, "ok", a lone lead byte
    };
    for (const auto& c : cases) {
        EXPECT_EQ(gbkByteLength(c.text), c.length) << c.text;
    }
}

TEST(GbkByteLength, IsNeverBelowTheConvertedLength) {
    for (const char* text : {"青禾鹭VPN专用连接", "WAN  微型端口  (L2TP)", "a€b", "Ünïcödé", "😀 ok",
                             "\xE4\xB8", "\x80\xBFz"}) {
        const std::size_t converted = utf8ToGbk(text).size();
        EXPECT_GE(gbkByteLength(text), converted) << text;
    }
    // Chinese and ASCII, the texts the fields hold, are counted exactly.
    EXPECT_EQ(gbkByteLength("服务器VPN密码"), utf8ToGbk("服务器VPN密码").size());
}

}  // namespace
}  // namespace vpn
