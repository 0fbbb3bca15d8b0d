#include "engine/file_replace.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <optional>
#include <string>

#include "engine/file_descriptor.hpp"
#include "engine/whole_file.hpp"

namespace vc {
namespace {

constexpr int max_link_hops = 40;

struct Target {
    std::filesystem::path path;       // the file the links lead to
    std::optional<struct stat> existing;  // its status, when it exists
};

// Follows symbolic links from `path` to the file they name, which may not exist yet.
std::expected<Target, int> resolve_links(const std::filesystem::path& path) {
    std::filesystem::path current = path;
    for (int hop = 0; hop <= max_link_hops; ++hop) {
        struct stat status {};
        if (::lstat(current.c_str(), &status) != 0) {
            if (errno == ENOENT) return Target{current, std::nullopt};
            return std::unexpected(errno);
        }
        if (!S_ISLNK(status.st_mode)) return Target{current, status};
        std::string link(static_cast<std::size_t>(status.st_size > 0 ? status.st_size : 255) + 1, '\0');
        for (;;) {
            const ssize_t length = ::readlink(current.c_str(), link.data(), link.size());
            if (length < 0) return std::unexpected(errno);
            if (static_cast<std::size_t>(length) < link.size()) {
                link.resize(static_cast<std::size_t>(length));
                break;
            }
            link.resize(link.size() * 2);
        }
        const std::filesystem::path next(link);
        current = next.is_absolute() ? next : current.parent_path() / next;
    }
    return std::unexpected(ELOOP);
}

// A fresh file beside `target`, created exclusively. Its name starts with a dot so that a
// leftover (after a power cut) does not clutter a directory listing.
std::expected<std::pair<std::filesystem::path, FileDescriptor>, int> create_temporary(const Target& target) {
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path directory =
        target.path.has_parent_path() ? target.path.parent_path() : std::filesystem::path(".");
    // An existing file's content must not be readable by others while it is written, so its
    // copy starts private and gets the old bits before any byte is written.
    const mode_t mode = target.existing ? 0600 : 0666;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        const std::string name = "." + target.path.filename().string() + ".tmp-" + std::to_string(::getpid()) +
                                 "-" + std::to_string(counter++) + "-" + std::to_string(stamp % 1000000);
        const std::filesystem::path temporary = directory / name;
        FileDescriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (fd) return std::pair{temporary, std::move(fd)};
        if (errno != EEXIST) return std::unexpected(errno);
    }
    return std::unexpected(EEXIST);
}

}  // namespace

std::expected<void, OsError> replace_file(const std::filesystem::path& path, std::string_view bytes) {
    const auto os_error = [](int error) { return std::unexpected(OsError::from_errno(error)); };
    auto target = resolve_links(path);
    if (!target) return os_error(target.error());
    if (target->existing && !S_ISREG(target->existing->st_mode)) return write_whole_file(path, bytes);
    // The rename needs only the directory's permission, so without this check a file that
    // the user may not write (made read-only on purpose, or another user's) would be
    // replaced and become the writer's, where a write in place is refused.
    if (target->existing && ::faccessat(AT_FDCWD, target->path.c_str(), W_OK, AT_EACCESS) != 0) return os_error(errno);

    auto created = create_temporary(*target);
    if (!created) return os_error(created.error());
    auto& [temporary, fd] = *created;

    std::expected<void, OsError> result;
    if (target->existing) {
        // Keep the owner where we may (as root), and the permission bits always.
        [[maybe_unused]] const int ignored = ::fchown(fd.get(), target->existing->st_uid, target->existing->st_gid);
        if (::fchmod(fd.get(), target->existing->st_mode & 07777) != 0) result = os_error(errno);
    }
    if (result) result = fd.write_all(bytes);
    if (auto closed = fd.close(); !closed && result) result = std::move(closed);
    if (result && ::rename(temporary.c_str(), target->path.c_str()) != 0) result = os_error(errno);
    if (!result) ::unlink(temporary.c_str());
    return result;
}

}  // namespace vc
