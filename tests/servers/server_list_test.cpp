#include "servers/server_list.h"

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <string>
#include <variant>
#include <vector>

#include "net/http_client.h"

namespace vpn {
namespace {

using Row = std::array<std::string, 5>;

Row rowOf(const ServerRecord& record) {
    return {record.location, record.server, record.user, record.password, record.availableTime};
}

struct ParseCase {
    std::string name;
    std::string body;
    std::vector<std::string> staging;  // raw bytes
    std::vector<Row> rows;             // UTF-8
    bool truncated = false;
};

// n records "L<i>,10.0.<i/250>.<i%250>,u<i>,p<i>,T<i>", each followed by `joint`.
ParseCase manyRecords(std::string name, int count, std::string joint) {
    ParseCase c{std::move(name), "<kavu512>", {}, {}};
    for (int i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        const Row row{"L" + n, "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250),
                      "u" + n, "p" + n, "T" + n};
        const std::string line = row[0] + "," + row[1] + "," + row[2] + "," + row[3] + "," + row[4];
        c.body += line + joint;
        c.staging.push_back(line);
        if (joint == "++") {
            c.staging.emplace_back();
        }
        if (c.rows.size() < kServerTableRows) {
            c.rows.push_back(row);
        }
    }
    if (joint == "+" || joint == "++") {
        c.staging.emplace_back();  // the final "+" ends the text
    }
    c.body += "</kavu512>";
    c.truncated = count > static_cast<int>(kServerTableRows);
    return c;
}

std::vector<ParseCase> parseCases() {
    const std::string gbkBeijing = "\xB1\xB1\xBE\xA9";   // 北京
    const std::string gbkShanghai = "\xC9\xCF\xBA\xA3";  // 上海
    const std::string gbkFullWidthBlank = "\xA1\xA1";    // U+3000
    std::vector<ParseCase> cases = {
        {"text around the envelope",
         "<html>A,9,9,9,9+<kavu512>A,1.1.1.1,u,p,t+B,2.2.2.2,u2,p2,t2</kavu512>+C,3,u,p,t",
         {"A,1.1.1.1,u,p,t", "B,2.2.2.2,u2,p2,t2"},
         {{"A", "1.1.1.1", "u", "p", "t"}, {"B", "2.2.2.2", "u2", "p2", "t2"}}},
        {"no tags: the whole body",
         "A,1,u,p,t+B,2,u,p,t",
         {"A,1,u,p,t", "B,2,u,p,t"},
         {{"A", "1", "u", "p", "t"}, {"B", "2", "u", "p", "t"}}},
        {"opening tag only", "junk+<kavu512>A,1,u,p,t", {"A,1,u,p,t"}, {{"A", "1", "u", "p", "t"}}},
        {"closing tag only",
         "A,1,u,p,t</kavu512>B,2,u,p,t",
         {"A,1,u,p,t"},
         {{"A", "1", "u", "p", "t"}}},
        {"closing tag before the opening tag counts only after it",
         "X,0,u,p,t</kavu512><kavu512>A,1,u,p,t",
         {"A,1,u,p,t"},
         {{"A", "1", "u", "p", "t"}}},
        {"first tags win",
         "<kavu512>A,1,u,p,t<kavu512>B</kavu512>C</kavu512>",
         {"A,1,u,p,t<kavu512>B"},
         {{"A", "1", "u", "p", "t<kavu512>B"}}},
        {"tags are case-sensitive",
         "<KAVU512>A,1,u,p,t</KAVU512>",
         {"<KAVU512>A,1,u,p,t</KAVU512>"},
         {{"<KAVU512>A", "1", "u", "p", "t</KAVU512>"}}},
        {"values split over lines and with blanks",
         "<kavu512>\r\n Hong Kong ,\r\n1.2. 3.4 ,us er,\npa ss,2024-01-01 12:00\r\n+\r\n"
         "  B ,2,u,p,t\n</kavu512>\r\n",
         {"HongKong,1.2.3.4,user,pass,2024-01-0112:00", "B,2,u,p,t"},
         {{"HongKong", "1.2.3.4", "user", "pass", "2024-01-0112:00"}, {"B", "2", "u", "p", "t"}}},
        {"a final plus adds an empty line, not a row",
         "A,1,u,p,t+B,2,u,p,t+",
         {"A,1,u,p,t", "B,2,u,p,t", ""},
         {{"A", "1", "u", "p", "t"}, {"B", "2", "u", "p", "t"}}},
        {"a final plus after line breaks and blanks",
         "<kavu512>A,1,u,p,t +\r\n </kavu512>",
         {"A,1,u,p,t", ""},
         {{"A", "1", "u", "p", "t"}}},
        {"two pluses give an empty line between",
         "A,1,u,p,t++B,2,u,p,t",
         {"A,1,u,p,t", "", "B,2,u,p,t"},
         {{"A", "1", "u", "p", "t"}, {"B", "2", "u", "p", "t"}}},
        {"a leading plus gives an empty first line",
         "+A,1,u,p,t",
         {"", "A,1,u,p,t"},
         {{"A", "1", "u", "p", "t"}}},
        {"a lone plus", "+", {"", ""}, {}},
        {"six fields: the sixth is ignored",
         "A,1,u,p,t,extra,more",
         {"A,1,u,p,t,extra,more"},
         {{"A", "1", "u", "p", "t"}}},
        {"fewer than five fields leave the rest empty",
         "A,1+B,2,u,p+,,,,",
         {"A,1", "B,2,u,p", ",,,,"},
         {{"A", "1", "", "", ""}, {"B", "2", "u", "p", ""}}},
        {"empty fields in the middle", "A,,u,,t", {"A,,u,,t"}, {{"A", "", "u", "", "t"}}},
        {"TAB separates records like a plus",
         "A,1,u,p,t\tB,2,u,p,t\t+\tC,3,u,p,t",
         {"A,1,u,p,t", "B,2,u,p,t", "C,3,u,p,t"},
         {{"A", "1", "u", "p", "t"}, {"B", "2", "u", "p", "t"}, {"C", "3", "u", "p", "t"}}},
        {"other control characters separate and are skipped",
         std::string("\x01\x1F"
                     "A,1,u,p,t\x1E\x02+B,2,u,p,t\x7F"),
         {"A,1,u,p,t", "B,2,u,p,t\x7F"},
         {{"A", "1", "u", "p", "t"}, {"B", "2", "u", "p", "t\x7F"}}},
        {"a zero byte separates instead of ending the text",
         std::string("A,1,u,p,t\0B,2,u,p,t", 19),
         {"A,1,u,p,t", "B,2,u,p,t"},
         {{"A", "1", "u", "p", "t"}, {"B", "2", "u", "p", "t"}}},
        {"a quoted record keeps its plus and TAB",
         "\"A+B\t,1,u,p,t\"+C,2,u,p,t",
         {"A+B\t,1,u,p,t", "C,2,u,p,t"},
         {{"A+B\t", "1", "u", "p", "t"}, {"C", "2", "u", "p", "t"}}},
        {"doubled quotes stand for one",
         "\"A\"\"B,1,u,p\"\"\"+\"\"",
         {"A\"B,1,u,p\"", ""},
         {{"A\"B", "1", "u", "p\"", ""}}},
        {"text right after a closing quote starts the next record",
         "\"A,1,u,p,t\"B,2,u,p,t",
         {"A,1,u,p,t", "B,2,u,p,t"},
         {{"A", "1", "u", "p", "t"}, {"B", "2", "u", "p", "t"}}},
        {"an unclosed quote takes the rest",
         "\"A+B,1,u,p,t",
         {"A+B,1,u,p,t"},
         {{"A+B", "1", "u", "p", "t"}}},
        {"a quote inside a record is plain",
         "A\"B,1,u,p,t",
         {"A\"B,1,u,p,t"},
         {{"A\"B", "1", "u", "p", "t"}}},
        {"line breaks alone do not separate records",
         "A,1,u,p,t\r\nB,2,u,p,t",
         {"A,1,u,p,tB,2,u,p,t"},
         {{"A", "1", "u", "p", "tB"}}},
        {"empty body", "", {}, {}},
        {"an envelope of blanks and line breaks", "<kavu512> \r\n \t</kavu512>", {}, {}},
        {"GBK body: fields decoded, staging lines raw",
         "<kavu512>" + gbkBeijing + ",1.1.1.1,u,p,2025" + gbkShanghai + "+" + gbkShanghai +
             gbkFullWidthBlank + "B,2.2.2.2,u,p,t</kavu512>",
         {gbkBeijing + ",1.1.1.1,u,p,2025" + gbkShanghai,
          gbkShanghai + gbkFullWidthBlank + "B,2.2.2.2,u,p,t"},
         {{"北京", "1.1.1.1", "u", "p", "2025上海"}, {"上海　B", "2.2.2.2", "u", "p", "t"}}},
        {"GBK body that is plain ASCII apart from one field",
         "A,1,u,p," + gbkBeijing,
         {"A,1,u,p," + gbkBeijing},
         {{"A", "1", "u", "p", "北京"}}},
        {"UTF-8 body is kept as it is",
         "<kavu512>北京 电信,1.1.1.1,用户,密码,2025年</kavu512>",
         {"北京电信,1.1.1.1,用户,密码,2025年"},
         {{"北京电信", "1.1.1.1", "用户", "密码", "2025年"}}},
    };
    cases.push_back(manyRecords("150 records fill the table", 150, "+"));
    cases.push_back(manyRecords("151 records: the first 150 are shown", 151, "+"));
    cases.push_back(manyRecords("empty records do not count toward 150", 150, "++"));
    return cases;
}

TEST(ServerListTest, ParsesStagingLinesAndRows) {
    for (const ParseCase& c : parseCases()) {
        SCOPED_TRACE(c.name);
        const ParsedDirectory parsed = ParseServerList(c.body);
        EXPECT_EQ(parsed.stagingLines, c.staging);
        std::vector<Row> rows;
        for (const ServerRecord& record : parsed.rows) {
            rows.push_back(rowOf(record));
        }
        EXPECT_EQ(rows, c.rows);
        EXPECT_EQ(parsed.truncated, c.truncated);
    }
}

TEST(ServerListTest, SplitFieldsKeepsEveryEmptyField) {
    using Fields = std::vector<std::string>;
    EXPECT_EQ(SplitFields(""), Fields{""});
    EXPECT_EQ(SplitFields(",,"), (Fields{"", "", ""}));
    EXPECT_EQ(SplitFields("a,b,"), (Fields{"a", "b", ""}));
    EXPECT_EQ(CountChar("a,b,,c", ','), 3u);
    std::string text = "a\r\nb\rc\n";
    NewlinesToSpaces(text);
    EXPECT_EQ(text, "a  b c ");
}

// A client that answers from a script: each entry is a response or the error to throw.
class ScriptedClient final : public HttpClient {
public:
    using Step = std::variant<HttpResponse, SocketError, HttpError>;
    explicit ScriptedClient(std::deque<Step> steps) : steps_(std::move(steps)) {}

    HttpResponse get(const std::string& url) override {
        calls.push_back("get " + url);
        Step step = steps_.at(0);
        steps_.pop_front();
        if (auto* socketError = std::get_if<SocketError>(&step)) {
            throw *socketError;
        }
        if (auto* httpError = std::get_if<HttpError>(&step)) {
            throw *httpError;
        }
        return std::get<HttpResponse>(step);
    }
    void disconnect() override { calls.push_back("disconnect"); }

    std::vector<std::string> calls;

private:
    std::deque<Step> steps_;
};

TEST(ServerListTest, FetchRetriesOnceAfterDisconnecting) {
    const std::string url = "http://127.0.0.1:1/server.txt";
    using Calls = std::vector<std::string>;
    {
        ScriptedClient client({HttpError("500"), HttpResponse{"A,1,u,p,t", "text/plain"}});
        EXPECT_EQ(FetchServerDirectory(client, url).rows.size(), 1u);
        EXPECT_EQ(client.calls, (Calls{"get " + url, "disconnect", "get " + url}));
    }
    {
        ScriptedClient client({HttpResponse{"A,1,u,p,t", ""}});
        EXPECT_EQ(FetchServerDirectory(client, url).rows.size(), 1u);
        EXPECT_EQ(client.calls, Calls{"get " + url});
    }
    {
        ScriptedClient client({HttpError("first"), SocketError("second")});
        EXPECT_THROW(FetchServerDirectory(client, url), SocketError);
        EXPECT_EQ(client.calls.size(), 3u);
    }
    {
        // "\xB1\xB1" read as UTF-8 because the response says so: not decoded from GBK.
        ScriptedClient client({HttpResponse{"\xB1\xB1,1,u,p,t", "text/plain; charset=UTF-8"}});
        EXPECT_TRUE(FetchServerDirectory(client, url).utf8);
    }
}

}  // namespace
}  // namespace vpn
