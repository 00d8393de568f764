#include "tools/host/command_line.h"

#include <algorithm>

#include "common/wfx_api.h"

std::vector<std::string> SplitCommand(const std::string& line) {
    std::vector<std::string> parts;
    std::string part;
    bool quoted = false, inPart = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inPart = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            if (inPart) parts.push_back(part);
            part.clear();
            inPart = false;
        } else {
            part += c;
            inPart = true;
        }
    }
    if (inPart) parts.push_back(part);
    return parts;
}

std::string ResolveRemote(const std::string& current, const std::string& argument) {
    const std::string path =
        !argument.empty() && argument[0] == '\\' ? argument : current + "\\" + argument;
    std::vector<std::string> steps;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        const std::string step = path.substr(start, end - start);
        if (step == "..") {
            if (!steps.empty()) steps.pop_back();
        } else if (!step.empty() && step != ".") {
            steps.push_back(step);
        }
        start = end + 1;
    }
    std::string resolved;
    for (const std::string& step : steps) resolved += "\\" + step;
    return resolved.empty() ? "\\" : resolved;
}

std::string LastPart(const std::string& path) {
    const std::size_t at = path.find_last_of("\\/");
    return at == std::string::npos ? path : path.substr(at + 1);
}

std::string RemoteParent(const std::string& path) {
    const std::size_t at = path.rfind('\\');
    return at == std::string::npos || at == 0 ? "\\" : path.substr(0, at);
}

std::string GroupedNumber(ULONGLONG value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
    return digits;
}

std::string FileResultText(int result) {
    switch (result) {
    case FS_FILE_OK: return "done";
    case FS_FILE_EXISTS: return "not done: the target exists";
    case FS_FILE_NOTFOUND: return "failed: the source was not found";
    case FS_FILE_READERROR: return "failed: the plugin or its storage engine refused (read error)";
    case FS_FILE_WRITEERROR: return "failed: the target could not be written";
    case FS_FILE_USERABORT: return "aborted by the user";
    case FS_FILE_NOTSUPPORTED: return "not supported by the plugin";
    default: return "unknown result " + std::to_string(result);
    }
}

std::string ProgressBar(int percent, int width) {
    const int filled = std::max(0, std::min(width, percent * width / 100));
    return "[" + std::string(filled, '#') + std::string(width - filled, '-') + "]";
}
