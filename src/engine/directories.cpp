#include "engine/directories.hpp"

#include <sys/stat.h>

#include <cerrno>

namespace vc {
namespace {

// The directory itself is tried first and its ancestors only when it has none, so an
// existing tree costs one call.
int make_directories_errno(const std::filesystem::path& directory) {
    if (::mkdir(directory.c_str(), 0777) == 0) return 0;
    int error = errno;
    if (error == ENOENT && directory.has_parent_path() && directory.parent_path() != directory) {
        if (const int parent_error = make_directories_errno(directory.parent_path()); parent_error != 0)
            return parent_error;
        if (::mkdir(directory.c_str(), 0777) == 0) return 0;
        error = errno;
    }
    struct stat status {};
    if (::stat(directory.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return 0;
    return error;
}

}  // namespace

std::expected<void, OsError> make_directories(const std::filesystem::path& directory) {
    if (directory.empty()) return {};
    if (const int error = make_directories_errno(directory); error != 0)
        return std::unexpected(OsError::from_errno(error));
    return {};
}

}  // namespace vc
