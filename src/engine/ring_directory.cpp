#include "engine/ring_directory.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "engine/directories.hpp"
#include "engine/directory_handle.hpp"
#include "engine/dirs.hpp"
#include "engine/file_descriptor.hpp"
#include "engine/format.hpp"
#include "engine/ring_files.hpp"
#include "engine/ring_lock.hpp"

namespace vc {
namespace {

bool is_dot_entry(std::string_view name) { return name == "." || name == ".."; }

// Old segments and lists would be taken for new ones; subdirectories stay.
Status prepare_private_ring_dir(const std::filesystem::path& ring_dir) {
    if (auto made = make_directories(ring_dir); !made)
        return io_error(format("creating {}", ring_dir), std::move(made.error()));
    const DirectoryHandle dir = DirectoryHandle::open(ring_dir.c_str());
    if (!dir) return io_error("listing ring dir", errno);
    const FileDescriptor lock = open_ring_lock(dir.descriptor());
    wait_for_joins(lock);
    while (const dirent* entry = dir.next()) {
        const std::string_view name = entry->d_name;
        if (is_dot_entry(name) || name == kJoinLockName) continue;
        ::unlink(join_path(ring_dir, name).c_str());
    }
    return {};
}

// The same in a directory that others can write to: emptying a symbolic link or a directory
// that someone else owns would delete their files, or let them point us at ours. So the ring
// is made private, checked through its own descriptor, and emptied relative to it.
Status prepare_shared_temp_ring_dir(const std::filesystem::path& ring_dir) {
    const auto refused = [&] {
        return config_error(
            format("refusing ring directory {}: it is a symbolic link or belongs to another user", ring_dir));
    };
    if (auto made = make_directories(ring_dir.parent_path()); !made)
        return io_error(format("creating {}", ring_dir), std::move(made.error()));
    const int mkdir_error = ::mkdir(ring_dir.c_str(), 0700) == 0 ? 0 : errno;
    if (mkdir_error != 0 && mkdir_error != EEXIST) return io_error(format("creating {}", ring_dir), mkdir_error);

    FileDescriptor fd(::open(ring_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        const int open_error = errno;
        struct stat link {};
        if (open_error == ELOOP || (::lstat(ring_dir.c_str(), &link) == 0 && S_ISLNK(link.st_mode))) return refused();
        // Something that is no directory stands there: say so as mkdir said it.
        if (open_error == ENOTDIR && mkdir_error == EEXIST) return io_error(format("creating {}", ring_dir), EEXIST);
        return io_error(format("creating {}", ring_dir), open_error);
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) return io_error("listing ring dir", errno);
    if (status.st_uid != ::geteuid()) return refused();
    const FileDescriptor lock = open_ring_lock(fd.get());
    const DirectoryHandle dir = DirectoryHandle::adopt(fd);
    if (!dir) return io_error("listing ring dir", errno);
    wait_for_joins(lock);
    while (const dirent* entry = dir.next()) {
        const std::string_view name = entry->d_name;
        if (is_dot_entry(name) || name == kJoinLockName) continue;
        ::unlinkat(dir.descriptor(), entry->d_name, 0);
    }
    return {};
}

}  // namespace

RingLocation ring_location() {
    if (auto dirs = project_dirs()) return {join_path(dirs->cache_dir, "ring"), false};
    const char* tmpdir = std::getenv("TMPDIR");
    return {join_path(tmpdir != nullptr ? std::filesystem::path(tmpdir) : std::filesystem::path("/tmp"),
                      "vantrel-clips-ring"),
            true};
}

std::filesystem::path ring_dir_path() { return ring_location().path; }

Status prepare_ring_dir(const RingLocation& ring) {
    return ring.shared_temp ? prepare_shared_temp_ring_dir(ring.path) : prepare_private_ring_dir(ring.path);
}

}  // namespace vc
