#include "servers/server_selection.h"

namespace vpn {

void ServerSelection::showRows(std::vector<ServerRecord> rows) {
    rows_ = std::move(rows);
    choice_ = {};
    okEnabled_ = true;
}

void ServerSelection::choose(std::size_t row) {
    if (row >= rows_.size()) {
        return;
    }
    const ServerRecord& record = rows_[row];
    choice_ = ServerChoice{record.server, record.user, record.password};
}

std::optional<ServerChoice> ServerSelection::confirm() const {
    if (choice_.server.empty() || choice_.user.empty() || choice_.password.empty()) {
        return std::nullopt;
    }
    return choice_;
}

}  // namespace vpn
