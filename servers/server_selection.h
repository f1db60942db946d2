#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "servers/server_list.h"

namespace vpn {

inline constexpr const char* kIncompleteChoice = "你确定选择了么？";
inline constexpr const char* kNoticeCaption = "提示";

// What the dialog copies into the main window's three fields.
struct ServerChoice {
    std::string server;
    std::string user;
    std::string password;

    bool operator==(const ServerChoice&) const = default;
};

// The server dialog's state apart from its widgets: the rows on show, whether OK may be
// pressed, and the row the user picked.
class ServerSelection {
public:
    // A fetched directory replaces the rows; the old choice named a row that is gone.
    void showRows(std::vector<ServerRecord> rows);
    const std::vector<ServerRecord>& rows() const { return rows_; }
    // OK stays disabled until the first directory arrived, and enabled from then on.
    bool okEnabled() const { return okEnabled_; }

    // Each showing of the dialog starts without a choice.
    void clearChoice() { choice_ = {}; }
    // Takes server, user and password of a row; an index past the rows is ignored.
    void choose(std::size_t row);
    const ServerChoice& choice() const { return choice_; }

    // OK: the choice when server, user and password are all set; otherwise nothing, and the
    // dialog asks kIncompleteChoice and stays open.
    std::optional<ServerChoice> confirm() const;

private:
    std::vector<ServerRecord> rows_;
    ServerChoice choice_;
    bool okEnabled_ = false;
};

}  // namespace vpn
