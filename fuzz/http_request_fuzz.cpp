// What a client controls on the HTTP side: the Authorization header, the
// history query, the path of a static file, and (from the command line or
// the site file) the listen address. The first byte picks the parser; the
// rest is its input. None may crash, read out of bounds or accept what it
// then cannot hold: a static file opened is always one inside its folder.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <variant>

#include "host/voka-host/http/api_pages.h"
#include "host/voka-host/http/basic_auth.h"
#include "host/voka-host/http/listen_address.h"
#include "host/voka-host/http/static_files.h"

namespace {

namespace fs = std::filesystem;

// A folder with a file and a subfolder, beside one file outside it; removed at exit.
struct StaticTree {
    fs::path base = fs::temp_directory_path() / ("voka-fuzz-static-" + std::to_string(getpid()));
    fs::path root;
    StaticTree() {
        fs::create_directories(base / "www" / "sub");
        std::ofstream(base / "www" / "index.html") << "index";
        std::ofstream(base / "www" / "sub" / "a.js") << "a";
        std::ofstream(base / "outside.txt") << "outside";
        root = fs::canonical(base / "www");
    }
    ~StaticTree() {
        std::error_code ignored;
        fs::remove_all(base, ignored);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 4) {
        case 0:
            if (const auto c = parse_basic_authorization(text); c && c->user.find(':') != std::string::npos)
                __builtin_trap();  // the user ends at the first colon
            break;
        case 1: {
            // key=value pairs separated by '&', as the server hands them over decoded.
            std::multimap<std::string, std::string> params;
            for (size_t at = 0; at <= text.size();) {
                const size_t end = std::min(text.find('&', at), text.size());
                const std::string_view pair = text.substr(at, end - at);
                const size_t eq = pair.find('=');
                params.emplace(std::string(pair.substr(0, eq)),
                               eq == std::string_view::npos ? std::string() : std::string(pair.substr(eq + 1)));
                at = end + 1;
            }
            // Whatever a client sends, an answer stays within its bounds.
            const auto q = history_query(params, 1'765'252'800);
            if (const auto* h = std::get_if<HistoryAsk>(&q);
                h && (h->query.limit < 1 || h->query.limit > kMaxHistoryLimit || h->points > kMaxHistoryPoints))
                __builtin_trap();
            const auto a = alarm_query(params, 1'765'252'800);
            if (const auto* l = std::get_if<AlarmLogQuery>(&a); l && (l->limit < 1 || l->limit > kMaxHistoryLimit))
                __builtin_trap();
            break;
        }
        case 2: {
            const auto a = parse_listen_address(text);
            if (const auto* l = std::get_if<ListenAddress>(&a)) {
                const auto again = parse_listen_address(l->text());  // what it writes, it reads back
                if (!std::holds_alternative<ListenAddress>(again) || std::get<ListenAddress>(again).port != l->port)
                    __builtin_trap();
            }
            break;
        }
        case 3: {
            static const StaticTree tree;
            static const auto folder = StaticFolder::make("/", tree.root.string());
            if (auto file = folder->open(text)) {
                const int fd = file->release();
                const fs::path opened = fs::read_symlink("/proc/self/fd/" + std::to_string(fd));
                close(fd);
                const std::string inside = tree.root.string() + "/";
                if (opened.string().rfind(inside, 0) != 0) __builtin_trap();
            }
            break;
        }
    }
    return 0;
}
