// DirectoryHandle: sole owner of one open directory stream (DIR*), closed when the owner
// goes, as FileDescriptor owns a descriptor.
#pragma once

#include <dirent.h>

#include <utility>

#include "engine/file_descriptor.hpp"

namespace vc {

class DirectoryHandle {
public:
    DirectoryHandle() = default;
    ~DirectoryHandle() {
        if (dir_ != nullptr) ::closedir(dir_);
    }
    DirectoryHandle(DirectoryHandle&& other) noexcept : dir_(std::exchange(other.dir_, nullptr)) {}
    DirectoryHandle& operator=(DirectoryHandle&& other) noexcept {
        if (this != &other) {
            DirectoryHandle old(std::move(*this));
            dir_ = std::exchange(other.dir_, nullptr);
        }
        return *this;
    }
    DirectoryHandle(const DirectoryHandle&) = delete;
    DirectoryHandle& operator=(const DirectoryHandle&) = delete;

    // opendir; an empty handle with errno set when it fails.
    static DirectoryHandle open(const char* path) { return DirectoryHandle(::opendir(path)); }
    // fdopendir, which takes the descriptor over only when it succeeds: on failure the
    // descriptor stays with `fd` (and closes with it), errno set.
    static DirectoryHandle adopt(FileDescriptor& fd) {
        DirectoryHandle handle(::fdopendir(fd.get()));
        if (handle) fd.release();
        return handle;
    }

    explicit operator bool() const { return dir_ != nullptr; }
    DIR* get() const { return dir_; }
    int descriptor() const { return ::dirfd(dir_); }
    // The next entry, or nullptr at the end.
    const dirent* next() const { return ::readdir(dir_); }

private:
    explicit DirectoryHandle(DIR* dir) : dir_(dir) {}
    DIR* dir_ = nullptr;
};

}  // namespace vc
