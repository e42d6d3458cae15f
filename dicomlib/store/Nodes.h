// The nodes a provider may open associations to: C-MOVE destinations, requestors answered on a
// new association. One node per line, "AE HOST PORT" separated by blanks; a line whose first
// non-blank character is "#" is a comment, blank lines are skipped. AE titles compare as given,
// trailing blanks aside.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dicomlib::store {

struct Node {
    std::string aeTitle;
    std::string host;
    std::string port;

    bool operator==(const Node&) const = default;
};

// The nodes of a file's text, in file order; none when a line is not "AE HOST PORT" with a
// title of 1 to 16 characters and a port from 1 to 65535, why then naming the line and what
// is wrong with it.
std::optional<std::vector<Node>> ParseNodes(std::string_view text, std::string& why);
// The same for a file; a file that cannot be read gives none, why naming it.
std::optional<std::vector<Node>> ReadNodesFile(const std::filesystem::path& path, std::string& why);

// The node with this AE title (trailing blanks of either ignored), or null.
const Node* FindNode(const std::vector<Node>& nodes, std::string_view aeTitle);

}  // namespace dicomlib::store
