#pragma once

namespace vpn::cli {

// Call inside a catch block. Prints what the main window would log for the error being
// handled (on standard output), or, for a failure the window drops, a message on standard
// error so that a terminal user still learns of it. Returns the failure exit status, 1.
int reportEscapedError(const char* command);

}  // namespace vpn::cli
