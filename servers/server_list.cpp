#include "servers/server_list.h"

#include <algorithm>
#include <exception>

#include "net/http_client.h"
#include "net/text_codec.h"

namespace vpn {
namespace {

constexpr std::string_view kOpenTag = "<kavu512>";
constexpr std::string_view kCloseTag = "</kavu512>";
constexpr char kRecordDelimiter = '+';
constexpr char kQuote = '"';
constexpr std::size_t kFieldCount = 5;

// The records sit between the first opening tag and the first closing tag after it; a
// missing tag leaves that end of the body open.
std::string_view envelopeContent(std::string_view body) {
    if (const auto open = body.find(kOpenTag); open != std::string_view::npos) {
        body.remove_prefix(open + kOpenTag.size());
    }
    if (const auto close = body.find(kCloseTag); close != std::string_view::npos) {
        body = body.substr(0, close);
    }
    return body;
}

// Control characters and the blank separate records and are skipped around them. The zero
// byte counts among them so that a stray NUL cannot cut the directory short.
bool isSeparatorChar(char ch) {
    return static_cast<unsigned char>(ch) <= 32;
}

// A record that starts with a quote runs to the matching closing quote; a doubled quote
// stands for one quote. Without a closing quote the record takes the rest of the text.
std::string readQuotedRecord(std::string_view text, std::size_t& pos) {
    std::string record;
    ++pos;  // the opening quote
    while (pos < text.size()) {
        const auto next = text.find(kQuote, pos);
        if (next == std::string_view::npos) {
            break;
        }
        record.append(text.substr(pos, next - pos));
        pos = next + 1;
        if (pos < text.size() && text[pos] == kQuote) {
            record.push_back(kQuote);
            ++pos;
            continue;
        }
        return record;
    }
    record.append(text.substr(pos));
    pos = text.size();
    return record;
}

// Splits into records at "+" and at control characters, with quoted records; each record,
// empty ones too, is one line, and a "+" as the last character adds a final empty line.
std::vector<std::string> splitRecords(std::string_view text) {
    std::vector<std::string> records;
    records.reserve(CountChar(text, kRecordDelimiter) + 1);
    std::size_t pos = 0;
    const auto skipSeparators = [&] {
        while (pos < text.size() && isSeparatorChar(text[pos])) {
            ++pos;
        }
    };
    skipSeparators();
    while (pos < text.size()) {
        if (text[pos] == kQuote) {
            records.push_back(readQuotedRecord(text, pos));
        } else {
            const std::size_t start = pos;
            while (pos < text.size() && !isSeparatorChar(text[pos]) &&
                   text[pos] != kRecordDelimiter) {
                ++pos;
            }
            records.emplace_back(text.substr(start, pos - start));
        }
        skipSeparators();
        if (pos < text.size() && text[pos] == kRecordDelimiter) {
            if (pos + 1 == text.size()) {
                records.emplace_back();
            }
            ++pos;
            skipSeparators();
        }
    }
    return records;
}

}  // namespace

void NewlinesToSpaces(std::string& text) {
    std::replace_if(
        text.begin(), text.end(), [](char ch) { return ch == '\r' || ch == '\n'; }, ' ');
}

std::size_t CountChar(std::string_view text, char ch) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), ch));
}

std::vector<std::string> SplitFields(std::string_view line) {
    std::vector<std::string> fields;
    fields.reserve(CountChar(line, ',') + 1);
    for (auto comma = line.find(','); comma != std::string_view::npos; comma = line.find(',')) {
        fields.emplace_back(line.substr(0, comma));
        line.remove_prefix(comma + 1);
    }
    fields.emplace_back(line);
    return fields;
}

ParsedDirectory ParseServerList(std::string_view body, bool declaredUtf8) {
    std::string text(envelopeContent(body));
    NewlinesToSpaces(text);
    std::erase(text, ' ');

    ParsedDirectory parsed;
    parsed.stagingLines = splitRecords(text);
    parsed.utf8 = declaredUtf8 || isValidUtf8(body);

    std::size_t recordsWithContent = 0;
    for (const std::string& line : parsed.stagingLines) {
        std::vector<std::string> fields = SplitFields(line);
        fields.resize(std::max(fields.size(), kFieldCount));
        if (std::all_of(fields.begin(), fields.begin() + kFieldCount,
                        [](const std::string& field) { return field.empty(); })) {
            continue;  // a record without content, such as the one after a final "+"
        }
        if (++recordsWithContent > kServerTableRows) {
            parsed.truncated = true;
            break;
        }
        const auto decode = [&](const std::string& field) {
            return DecodeDirectoryText(field, parsed.utf8);
        };
        parsed.rows.push_back(ServerRecord{decode(fields[0]), decode(fields[1]), decode(fields[2]),
                                           decode(fields[3]), decode(fields[4])});
    }
    return parsed;
}

std::string DecodeDirectoryText(std::string_view bytes, bool utf8) {
    // The choice is made once for the whole body: a GBK field can look like UTF-8 by chance.
    return utf8 ? decodeForDisplay(bytes, true) : gbkToUtf8(bytes);
}

ParsedDirectory FetchServerDirectory(HttpClient& client, const std::string& directoryUrl) {
    HttpResponse response;
    try {
        response = client.get(directoryUrl);
    } catch (const std::exception&) {
        client.disconnect();
        response = client.get(directoryUrl);
    }
    return ParseServerList(response.body, declaresUtf8(response.contentType));
}

}  // namespace vpn
