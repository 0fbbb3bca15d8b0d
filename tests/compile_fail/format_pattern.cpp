// Built by the compiler alone, once per case: a format() whose pattern and arguments
// disagree must not build, and the matching call beside it must.
#include "engine/format.hpp"

#include <string_view>

void use() {
#if CASE == 0
    constexpr std::string_view pattern = "{} of {}";
    (void)vc::format(pattern, 1, 2);
    (void)vc::format("{} and {}", 1, "x");
    (void)vc::format("no slots");
#elif CASE == 1
    (void)vc::format("{}", 1, 2);  // an argument without a slot used to vanish
#elif CASE == 2
    (void)vc::format("{} and {}", 1);  // a slot without an argument used to stay as "{}"
#elif CASE == 3
    (void)vc::format("no slots", 1);
#endif
}
