#include "host/voka-host/http/static_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <utility>

namespace {

// Whether each "/"-separated segment of `relative` names an entry of its
// folder: not empty, not ".", "..", nor hidden. The last may be empty (a
// folder's index).
bool plain_segments(std::string_view relative) {
    for (size_t start = 0; start <= relative.size();) {
        size_t end = relative.find('/', start);
        if (end == std::string_view::npos) end = relative.size();
        const std::string_view segment = relative.substr(start, end - start);
        const bool last = end == relative.size();
        if (segment.empty() ? !last : segment.front() == '.') return false;
        if (segment.find('\0') != std::string_view::npos) return false;
        start = end + 1;
    }
    return true;
}

}  // namespace

OpenFile::~OpenFile() {
    if (fd_ >= 0) ::close(fd_);
}

OpenFile::OpenFile(OpenFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(other.size_), content_type_(std::move(other.content_type_)) {}

int OpenFile::release() { return std::exchange(fd_, -1); }

std::optional<StaticFolder> StaticFolder::make(std::string url_prefix, const std::string& folder) {
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) return std::nullopt;
    if (url_prefix.empty() || url_prefix.back() != '/') url_prefix += '/';
    return StaticFolder(std::move(url_prefix), folder);
}

bool StaticFolder::covers(std::string_view path) const { return path.substr(0, url_prefix_.size()) == url_prefix_; }

std::optional<OpenFile> StaticFolder::open(std::string_view path) const {
    if (!covers(path)) return std::nullopt;
    const std::string_view relative = path.substr(url_prefix_.size());
    if (!plain_segments(relative)) return std::nullopt;
    std::string file = folder_ + "/" + std::string(relative);
    if (relative.empty() || relative.back() == '/') file += "index.html";
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    OpenFile opened(fd, 0, content_type_of(file));
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return OpenFile(opened.release(), static_cast<uint64_t>(st.st_size), content_type_of(file));
}

std::string content_type_of(std::string_view file_name) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 10> kTypes{{
        {".html", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"},
        {".json", "application/json"},
        {".map", "application/json"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".ico", "image/x-icon"},
        {".txt", "text/plain; charset=utf-8"},
    }};
    const size_t slash = file_name.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? file_name : file_name.substr(slash + 1);
    for (const auto& [extension, type] : kTypes)
        if (name.size() > extension.size() && name.substr(name.size() - extension.size()) == extension)
            return std::string(type);
    return "application/octet-stream";
}
