// The nodes file: parsing and look-up.
#include "store/Nodes.h"

#include <fstream>
#include <sstream>

namespace dicomlib::store {
namespace {

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

bool IsPort(const std::string& text) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    const unsigned long port = std::stoul(text);
    return port >= 1 && port <= 65535;
}

}  // namespace

std::optional<std::vector<Node>> ParseNodes(std::string_view text, std::string& why) {
    std::vector<Node> nodes;
    std::size_t number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = TrimBlanks(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;
        if (line.empty() || line.front() == '#') continue;
        std::istringstream in{std::string(line)};
        Node node;
        std::string extra;
        in >> node.aeTitle >> node.host >> node.port >> extra;
        const auto where = "line " + std::to_string(number) + " (\"" + std::string(line) + "\")";
        if (node.port.empty() || !extra.empty()) {
            why = where + " is not \"AE HOST PORT\"";
            return std::nullopt;
        }
        if (node.aeTitle.size() > 16) {
            why = where + ": the AE title is longer than 16 characters";
            return std::nullopt;
        }
        if (!IsPort(node.port)) {
            why = where + ": the port is not a number from 1 to 65535";
            return std::nullopt;
        }
        nodes.push_back(std::move(node));
    }
    return nodes;
}

std::optional<std::vector<Node>> ReadNodesFile(const std::filesystem::path& path,
                                               std::string& why) {
    std::error_code ec;
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    const bool regular = std::filesystem::is_regular_file(path, ec);
    if (regular && file && file.peek() != std::ifstream::traits_type::eof()) text << file.rdbuf();
    if (!regular || !file || file.bad()) {
        why = "cannot read the nodes file " + path.string();
        return std::nullopt;
    }
    auto nodes = ParseNodes(text.str(), why);
    if (!nodes) why = path.string() + ", " + why;
    return nodes;
}

const Node* FindNode(const std::vector<Node>& nodes, std::string_view aeTitle) {
    aeTitle = TrimBlanks(aeTitle);
    for (const Node& node : nodes)
        if (node.aeTitle == aeTitle) return &node;
    return nullptr;
}

}  // namespace dicomlib::store
