// Tests run as root, whom no permission bit stops and whose home always exists. This runs a
// piece of a test in a forked child as a user with no password entry (no home directory, no
// groups), and gives back the text the piece reported.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <sys/types.h>

namespace vc::test {

inline constexpr uid_t kUserWithoutHome = 54321;

// `body` runs in the child after the switch; nullopt when the switch is not possible here
// (the caller skips). A child that does not finish reports that instead of its text.
std::optional<std::string> run_as_user_without_home(const std::function<std::string()>& body);

}  // namespace vc::test
