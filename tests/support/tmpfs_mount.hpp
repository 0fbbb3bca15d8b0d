// TmpfsMount: a tmpfs of its own for a test that needs a file system of a kind (one that
// keeps no access times, "noatime"), mounted on a fresh directory when made and unmounted
// when it goes. Mounting takes root, as the tests have in CI.
#pragma once

#include <filesystem>

#include "support/environment.hpp"

namespace vc::test {

class TmpfsMount {
public:
    // `flags`: mount(2) flags such as MS_NOATIME. Throws std::runtime_error when the mount
    // fails.
    explicit TmpfsMount(unsigned long flags);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;

    const std::filesystem::path& path() const { return dir_.path(); }
    std::filesystem::path operator/(const std::string& name) const { return dir_ / name; }

private:
    TempDir dir_;
};

}  // namespace vc::test
