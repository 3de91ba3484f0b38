#pragma once
// The files of one folder served under a URL prefix ("/" → www/,
// "/javascript/chart.js/" → Debian's chart library), read-only.
//
// A path is taken only as the folder's own: it is split at "/", and a
// segment that is empty, or starts with "." (".", "..", hidden files), is
// refused, so no URL names anything outside the folder. Symbolic links
// inside the folder are followed: the folder is the installer's. Only
// regular files are served; a path ending in "/" serves that folder's
// index.html. Content types come from the extension (content_type_of).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// An open file to send; closes it unless release()d.
class OpenFile {
public:
    OpenFile(int fd, uint64_t size, std::string content_type)
        : fd_(fd), size_(size), content_type_(std::move(content_type)) {}
    ~OpenFile();
    OpenFile(OpenFile&& other) noexcept;
    OpenFile& operator=(OpenFile&&) = delete;
    OpenFile(const OpenFile&) = delete;

    uint64_t size() const { return size_; }
    const std::string& content_type() const { return content_type_; }
    // The descriptor, which the caller now owns.
    int release();

private:
    int fd_;
    uint64_t size_;
    std::string content_type_;
};

class StaticFolder {
public:
    // Nothing when `folder` is not a folder.
    static std::optional<StaticFolder> make(std::string url_prefix, const std::string& folder);

    const std::string& prefix() const { return url_prefix_; }
    // Whether `path` (decoded, without the query) lies under the URL prefix.
    bool covers(std::string_view path) const;
    // The file `path` names, opened; nothing when there is none to serve
    // (refused path, missing, not a regular file, unreadable).
    std::optional<OpenFile> open(std::string_view path) const;

private:
    StaticFolder(std::string url_prefix, std::string folder)
        : url_prefix_(std::move(url_prefix)), folder_(std::move(folder)) {}
    std::string url_prefix_;  // ends with "/"
    std::string folder_;
};

// "text/html; charset=utf-8" for "index.html"; application/octet-stream for
// an extension it does not know.
std::string content_type_of(std::string_view file_name);
