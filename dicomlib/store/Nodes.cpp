#include "store/Nodes.h"

#include <fstream>
#include <sstream>

namespace dicomlib::store {
namespace {

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

bool IsPort(const std::string& text) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    const long port = std::stol(text);
    return port >= 1 && port <= 65535;
}

}  // namespace

bool ParseNodes(std::string_view text, std::vector<Node>& nodes, std::string& why) {
    std::istringstream lines{std::string(text)};
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        const std::string_view content = Trim(line);
        if (content.empty() || content.front() == '#') continue;
        std::istringstream words{std::string(content)};
        Node node;
        std::string extra;
        words >> node.aeTitle >> node.host >> node.port;
        if (node.port.empty() || (words >> extra) || node.aeTitle.size() > 16 ||
            !IsPort(node.port)) {
            why =
                "line " + std::to_string(number) + " of the nodes file is not \"AE HOST PORT\" " +
                "(a title of up to 16 characters, a port from 1 to 65535): " + std::string(content);
            return false;
        }
        nodes.push_back(std::move(node));
    }
    return true;
}

bool ReadNodes(const std::filesystem::path& path, std::vector<Node>& nodes, std::string& why) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        why = "cannot read the nodes file " + path.string() + ": check its name and rights";
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return ParseNodes(text.str(), nodes, why);
}

std::optional<Node> FindNode(const std::vector<Node>& nodes, std::string_view aeTitle) {
    const std::string_view wanted = Trim(aeTitle);
    for (const Node& node : nodes)
        if (node.aeTitle == wanted) return node;
    return std::nullopt;
}

}  // namespace dicomlib::store
