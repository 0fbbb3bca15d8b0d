// VantrelClips: a replay recorder for X11 desktops. main() reads top to bottom as the
// start-up order.
#include "cli/logging.hpp"
#include "cli/printing.hpp"

int main() {
    vc::cli::install_logging();

    // The recorder itself is not part of this build yet.
    vc::cli::print_error_line("error: recording is not available in this build yet");
    return 1;
}
