// The nodes file: the peers the provider opens associations to, one a line as "AE HOST PORT"
// (blanks between the three; empty lines and lines starting with '#' are skipped). A title is
// matched as a whole, blanks around it ignored.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dicomlib::store {

struct Node {
    std::string aeTitle, host, port;
    bool operator==(const Node&) const = default;
};

// The nodes of the text; false, with why (the line's number and what is wrong), for a line that
// is not three words with a title of at most 16 characters and a port from 1 to 65535.
bool ParseNodes(std::string_view text, std::vector<Node>& nodes, std::string& why);
// The same of a file; false, with why, when it cannot be read.
bool ReadNodes(const std::filesystem::path& path, std::vector<Node>& nodes, std::string& why);
// The node of a title, or none.
std::optional<Node> FindNode(const std::vector<Node>& nodes, std::string_view aeTitle);

}  // namespace dicomlib::store
